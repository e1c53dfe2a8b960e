#pragma once

// A function that is loaded at run time (DynamicFn) was called although its
// library or symbol could not be found.

#include "base/plat/Exception.h"

#include <string_view>

namespace plat {

class DynamicFnLoadFailed : public Exception {
public:
  explicit DynamicFnLoadFailed(std::string_view message);
};

} // namespace plat
