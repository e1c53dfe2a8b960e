#pragma once

// The process's version record, filled once at start-up before anything
// reads it. Two forms: display "major.minor.patch (revision)" and numeric
// "major.minor.patch.revision". Both are empty until recorded.

#include <string>

namespace plat {

class VersionInfo {
public:
  // Replaces any earlier record.
  static void record(int major, int minor, int patch, const char* revision);
  static std::string display();
  static std::string numeric();
};

} // namespace plat
