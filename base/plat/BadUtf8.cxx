#include "base/plat/BadUtf8.h"

#include "base/plat/Format.h"

#include <string>

namespace plat {

BadUtf8::BadUtf8(std::string_view what)
  : Exception(format("Bad UTF-8 string for %s", std::string(what).c_str()), "BadUtf8") {}

} // namespace plat
