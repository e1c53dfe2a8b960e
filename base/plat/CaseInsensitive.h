#pragma once

// ASCII case-insensitive comparison, for names that users type in any case
// (parameter names, option words, log destinations).

#include <string_view>

namespace plat {

bool equalsIgnoreCase(std::string_view a, std::string_view b);

// Negative, zero or positive as a orders before, with or after b once both
// are folded to lower case.
int compareIgnoreCase(std::string_view a, std::string_view b);

struct LessIgnoreCase {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const {
    return compareIgnoreCase(a, b) < 0;
  }
};

} // namespace plat
