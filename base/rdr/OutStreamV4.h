#pragma once

// The channel's frame format: a big-endian U16 header whose bit 15 marks the
// last frame of a message and whose low 15 bits give the data length. At
// most 32766 data bytes go in one frame.

#include "base/rdr/FramedOutStream.h"

namespace rdr {

class OutStreamV4 : public FramedOutStream {
public:
  static constexpr size_t maxFrameData = 32766;
  static constexpr size_t headerSize = 2;
  static constexpr uint16_t lastFrameBit = 0x8000;

  // `underlying` is not owned; null for none yet.
  explicit OutStreamV4(OutStream* underlying = nullptr);

protected:
  void writeHeader(size_t length, bool last, bool first) override;
};

} // namespace rdr
