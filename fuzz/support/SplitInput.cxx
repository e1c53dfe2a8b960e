#include "fuzz/support/SplitInput.h"

#include <algorithm>

namespace fuzz {

SplitInput::SplitInput(const uint8_t* data, size_t size) {
  if (size == 0)
    return;
  size_t count = std::min<size_t>(data[0] & 0x0f, size - 1);
  for (size_t i = 0; i < count; i++)
    sizes_.push_back(size_t(data[1 + i]) + 1);
  payload_ = std::span<const uint8_t>(data + 1 + count, size - 1 - count);
}

std::vector<std::span<const uint8_t>> SplitInput::cut(std::span<const uint8_t> bytes) const {
  std::vector<std::span<const uint8_t>> out;
  if (sizes_.empty()) {
    if (!bytes.empty())
      out.push_back(bytes);
    return out;
  }
  size_t offset = 0;
  for (size_t i = 0; offset < bytes.size(); i = (i + 1) % sizes_.size()) {
    size_t n = std::min(sizes_[i], bytes.size() - offset);
    out.push_back(bytes.subspan(offset, n));
    offset += n;
  }
  return out;
}

} // namespace fuzz
