#include "base/plat/DynamicFnLoadFailed.h"

namespace plat {

DynamicFnLoadFailed::DynamicFnLoadFailed(std::string_view message)
  : Exception(message, "DynamicFnLoadFailed") {}

} // namespace plat
