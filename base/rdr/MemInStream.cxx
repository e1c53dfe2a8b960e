#include "base/rdr/MemInStream.h"

#include "base/rdr/EndOfStream.h"

namespace rdr {

MemInStream::MemInStream(const void* data, size_t length, bool copy)
  : InStream(true), start_(static_cast<const uint8_t*>(data)) {
  if (copy) {
    copy_.assign(start_, start_ + length);
    start_ = copy_.data();
  }
  ptr = checkpointPtr = start_;
  end = start_ + length;
}

MemInStream::MemInStream(std::vector<uint8_t> data)
  : InStream(true), copy_(std::move(data)), start_(copy_.data()) {
  ptr = checkpointPtr = start_;
  end = start_ + copy_.size();
}

bool MemInStream::fill(size_t itemSize) {
  throw EndOfStream("End of in-memory input stream");
}

} // namespace rdr
