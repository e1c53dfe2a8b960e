#pragma once

// Where kwo-serve finds kwoagent-x11 when -agent is not given: beside its
// own program (a build folder, or a bin folder holding both), in
// ../libexec relative to it (an installed prefix), in the build tree's
// agent folder, and last where this build put it.

#include <string>

namespace kwoserve {

class AgentPath {
public:
  // The first executable candidate for a kwo-serve program in `selfDir`;
  // `fallback` when there is none.
  static std::string find(const std::string& selfDir, const std::string& fallback);
  // The folder of the running program ("" when unknown).
  static std::string selfDir();
};

} // namespace kwoserve
