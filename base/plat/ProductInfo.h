#pragma once

// The product text shown at the top of the usage and in the log banner: the
// program's name, what it is, and its version, wrapped at 79 columns.

#include <string>

namespace plat {

class ProductInfo {
public:
  // The name shown for the program; by default "kwoagent-x11".
  static void setProgramName(const std::string& name);
  static std::string programName();
  // Several lines, no newline at the end.
  static std::string text();
};

} // namespace plat
