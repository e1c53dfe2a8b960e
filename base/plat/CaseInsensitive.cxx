#include "base/plat/CaseInsensitive.h"

namespace plat {

namespace {

char fold(char c) {
  return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

} // namespace

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
  return compareIgnoreCase(a, b) == 0;
}

int compareIgnoreCase(std::string_view a, std::string_view b) {
  size_t common = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < common; i++) {
    unsigned char x = fold(a[i]);
    unsigned char y = fold(b[i]);
    if (x != y)
      return x < y ? -1 : 1;
  }
  if (a.size() == b.size())
    return 0;
  return a.size() < b.size() ? -1 : 1;
}

} // namespace plat
