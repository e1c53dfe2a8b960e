#pragma once

// printf-style formatting into a std::string.

#include <cstdarg>
#include <string>

namespace plat {

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string vformat(const char* fmt, va_list args);

} // namespace plat
