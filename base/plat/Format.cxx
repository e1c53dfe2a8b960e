#include "base/plat/Format.h"

#include <cstdio>

namespace plat {

std::string format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string result = vformat(fmt, args);
  va_end(args);
  return result;
}

std::string vformat(const char* fmt, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int needed = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  if (needed <= 0)
    return {};
  std::string result(size_t(needed), '\0');
  std::vsnprintf(result.data(), result.size() + 1, fmt, args);
  return result;
}

} // namespace plat
