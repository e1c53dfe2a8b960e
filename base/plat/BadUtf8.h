#pragma once

#include "base/plat/Exception.h"

#include <string_view>

namespace plat {

// A text that should be UTF-8 is not; message "Bad UTF-8 string for <what>".
class BadUtf8 : public Exception {
public:
  explicit BadUtf8(std::string_view what);
};

} // namespace plat
