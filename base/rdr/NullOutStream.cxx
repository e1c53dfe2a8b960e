#include "base/rdr/NullOutStream.h"

#include <algorithm>

namespace rdr {

namespace {

constexpr size_t scratchSize = 1024;

} // namespace

NullOutStream::NullOutStream() : scratch_(scratchSize) {
  ptr = scratch_.data();
  end = ptr + scratch_.size();
}

size_t NullOutStream::overrun(size_t itemSize, size_t nItems) {
  discarded_ += size_t(ptr - scratch_.data());
  if (scratch_.size() < itemSize)
    scratch_.resize(itemSize);
  ptr = scratch_.data();
  end = ptr + scratch_.size();
  return std::clamp(scratch_.size() / itemSize, size_t(1), nItems);
}

} // namespace rdr
