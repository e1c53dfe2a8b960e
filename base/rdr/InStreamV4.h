#pragma once

// Reads the channel's frame format (see rdr::OutStreamV4): a big-endian U16
// header, bit 15 marking the last frame, the low 15 bits the data length.

#include "base/rdr/FramedInStream.h"

namespace rdr {

class InStreamV4 : public FramedInStream {
public:
  // `underlying` is not owned; null for none yet.
  explicit InStreamV4(InStream* underlying = nullptr);

protected:
  bool readHeader(int32_t& remaining, bool& last, bool wait) override;
};

} // namespace rdr
