#pragma once

// An output stream into a growing block of memory, optionally capped.

#include "base/rdr/OutStream.h"

#include <vector>

namespace rdr {

class MemOutStream : public OutStream {
public:
  // initialSize < 0 means 256 bytes. A non-zero maxSize caps the capacity;
  // a write beyond it throws rdr::OutStreamFull.
  explicit MemOutStream(int initialSize = -1, size_t maxSize = 0);

  size_t length() const override { return size_t(ptr - buffer_.data()); }
  size_t overrun(size_t itemSize, size_t nItems) override;

  // The bytes written so far (valid until the next write).
  const uint8_t* data() const { return buffer_.data(); }
  size_t capacity() const { return buffer_.size(); }
  // Start again from empty, keeping the capacity.
  void clear();
  // The written bytes as one owned block; the stream is empty afterwards.
  std::vector<uint8_t> takeData();

private:
  void reset(size_t length);

  std::vector<uint8_t> buffer_;
  size_t maxSize_;
};

} // namespace rdr
