#include "uilibs/tx/EnvironScanner.h"

#include "base/plat/Assert.h"

#include <cstring>

namespace tx {

EnvironScanner::EnvironScanner(std::string_view name, size_t maxValueLength)
  : key_(name), maxValueLength_(maxValueLength) {
  PLAT_ASSERT(!name.empty() && name.find('=') == std::string_view::npos &&
              name.find('\0') == std::string_view::npos);
  key_ += '=';
}

// Appends what `rest` holds of the value; returns the bytes consumed.
size_t EnvironScanner::consumeValue(std::string_view rest) {
  const void* nul = std::memchr(rest.data(), 0, rest.size());
  size_t length = nul ? size_t(static_cast<const char*>(nul) - rest.data()) : rest.size();
  if (length > maxValueLength_ - value_.size()) {
    state_ = State::tooLong;
    value_.clear();
    return rest.size();
  }
  value_.append(rest.data(), length);
  if (!nul)
    return rest.size();
  state_ = State::found;
  return length + 1;
}

bool EnvironScanner::feed(std::string_view chunk) {
  size_t i = 0;
  while (i < chunk.size() && state_ == State::scanning) {
    std::string_view rest = chunk.substr(i);
    if (inValue_) {
      i += consumeValue(rest);
      continue;
    }
    if (skipping_) {
      const void* nul = std::memchr(rest.data(), 0, rest.size());
      if (!nul)
        return false;
      i += size_t(static_cast<const char*>(nul) - rest.data()) + 1;
      skipping_ = false;
      matched_ = 0;
      continue;
    }
    char c = chunk[i++];
    if (c == key_[matched_]) {
      inValue_ = ++matched_ == key_.size();
      continue;
    }
    // A NUL here ends a short entry ("NAM" or an empty one); anything else
    // makes this entry another variable.
    if (c == '\0')
      matched_ = 0;
    else
      skipping_ = true;
  }
  return state_ != State::scanning;
}

void EnvironScanner::finish() {
  if (state_ != State::scanning)
    return;
  state_ = inValue_ ? State::found : State::absent;
}

} // namespace tx
