#include "base/plat/SplitList.h"

#include <string_view>

namespace plat {

std::vector<std::string> splitList(const char* list) {
  std::vector<std::string> result;
  std::string_view rest(list ? list : "");
  while (!rest.empty()) {
    size_t comma = rest.find(',');
    std::string_view item = rest.substr(0, comma);
    size_t first = item.find_first_not_of(' ');
    size_t last = item.find_last_not_of(' ');
    if (first != std::string_view::npos)
      result.emplace_back(item.substr(first, last - first + 1));
    if (comma == std::string_view::npos)
      break;
    rest.remove_prefix(comma + 1);
  }
  return result;
}

} // namespace plat
