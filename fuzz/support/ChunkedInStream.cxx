#include "fuzz/support/ChunkedInStream.h"

#include "base/rdr/EndOfStream.h"

#include <algorithm>

namespace fuzz {

void ChunkedInStream::feed(std::span<const uint8_t> bytes) {
  pending_.insert(pending_.end(), bytes.begin(), bytes.end());
}

size_t ChunkedInStream::readSome(uint8_t* buffer, size_t max) {
  if (pending_.empty() && closed_)
    throw rdr::EndOfStream();
  size_t n = std::min(max, pending_.size());
  std::copy_n(pending_.begin(), n, buffer);
  pending_.erase(pending_.begin(), pending_.begin() + std::ptrdiff_t(n));
  return n;
}

} // namespace fuzz
