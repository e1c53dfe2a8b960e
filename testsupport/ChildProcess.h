#pragma once

// Runs a program to completion and captures what it printed, for tests that
// drive executables (the agent, X utilities). Never throws for the child's
// own failures: they show in the result.

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

struct ChildResult {
  bool started = false;   // false: fork failed or the program could not be run
  bool exited = false;    // ended by exit(); exitStatus is valid
  int exitStatus = -1;
  std::string out;
  std::string err;
};

class ChildProcess {
public:
  // argv[0] is looked up in PATH. `environment` entries are set (NAME, value)
  // in the child on top of the test's own environment; `input` is written to
  // its standard input, which is then closed. A child still running at the
  // deadline is killed with SIGKILL.
  static ChildResult run(const std::vector<std::string>& argv,
                         const std::vector<std::pair<std::string, std::string>>& environment = {},
                         const std::string& input = {},
                         std::chrono::milliseconds deadline = std::chrono::seconds(120));
};

} // namespace testsupport
