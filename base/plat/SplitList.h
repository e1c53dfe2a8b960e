#pragma once

#include <string>
#include <vector>

namespace plat {

// The items of a comma-separated list, spaces around each trimmed and empty
// items dropped. A null list has no items.
std::vector<std::string> splitList(const char* list);

} // namespace plat
