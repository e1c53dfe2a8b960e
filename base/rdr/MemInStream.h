#pragma once

// An input stream over a fixed block of memory. Everything stays available,
// so rewind() and rewindTo() always work; reading past the end throws
// rdr::EndOfStream ("End of in-memory input stream").

#include "base/rdr/InStream.h"

#include <vector>

namespace rdr {

class MemInStream : public InStream {
public:
  // With copy, the stream keeps its own copy; otherwise the data must outlive it.
  MemInStream(const void* data, size_t length, bool copy = false);
  explicit MemInStream(std::vector<uint8_t> data);

  size_t pos() const override { return size_t(ptr - start_); }
  bool atEnd() override { return ptr == end; }

protected:
  bool fill(size_t itemSize) override;

private:
  std::vector<uint8_t> copy_;
  const uint8_t* start_;
};

} // namespace rdr
