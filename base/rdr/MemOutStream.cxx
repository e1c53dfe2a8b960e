#include "base/rdr/MemOutStream.h"

#include "base/rdr/OutStreamFull.h"

#include <algorithm>

namespace rdr {

namespace {

constexpr size_t defaultInitialSize = 256;

} // namespace

MemOutStream::MemOutStream(int initialSize, size_t maxSize)
  : buffer_(initialSize < 0 ? defaultInitialSize : size_t(initialSize)), maxSize_(maxSize) {
  if (maxSize_ && buffer_.size() > maxSize_)
    buffer_.resize(maxSize_);
  reset(0);
}

void MemOutStream::reset(size_t length) {
  ptr = buffer_.data() + length;
  end = buffer_.data() + buffer_.size();
}

void MemOutStream::clear() {
  reset(0);
}

std::vector<uint8_t> MemOutStream::takeData() {
  buffer_.resize(length());
  std::vector<uint8_t> taken = std::move(buffer_);
  buffer_.clear();
  reset(0);
  return taken;
}

size_t MemOutStream::overrun(size_t itemSize, size_t nItems) {
  const size_t used = length();
  if (itemSize > SIZE_MAX - used)
    throw OutStreamFull();
  const size_t needed = used + itemSize;
  if (maxSize_ && needed > maxSize_)
    throw OutStreamFull();
  if (buffer_.size() < needed) {
    size_t capacity = std::max(buffer_.size() * 2, needed);
    if (maxSize_)
      capacity = std::min(capacity, maxSize_);
    buffer_.resize(capacity);
    reset(used);
  }
  return std::clamp(size_t(end - ptr) / itemSize, size_t(1), nItems);
}

} // namespace rdr
