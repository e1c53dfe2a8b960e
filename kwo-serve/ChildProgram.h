#pragma once

// A helper program (the virtual X server, its desktop clients) owned by
// kwo-serve: ended and reaped by the destructor (SIGTERM, then SIGKILL after
// a grace period), and killed by the kernel when kwo-serve dies in any other
// way (a parent-death signal), so that none outlives us. It inherits no
// descriptor but its standard ones.
//
// Failures: the constructor throws plat::SystemException when the program
// cannot be found or started.

#include "base/io/UniqueFd.h"

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kwoserve {

class ChildProgram {
public:
  // argv[0] is looked up in PATH. With `outputFd`, the child's standard
  // output is that descriptor; otherwise it inherits ours. Standard input is
  // /dev/null, and so is standard error when `quiet`. The signal mask is
  // cleared for the child.
  explicit ChildProgram(const std::vector<std::string>& argv, int outputFd = -1,
                        const std::vector<std::pair<std::string, std::string>>& environment = {},
                        bool quiet = false);
  ~ChildProgram();
  ChildProgram(const ChildProgram&) = delete;
  ChildProgram& operator=(const ChildProgram&) = delete;

  pid_t pid() const { return pid_; }
  const std::string& name() const { return name_; }
  // Collects the exit without blocking; true while the child runs.
  bool running();
  // Ends the child (SIGTERM, up to graceMs, then SIGKILL) and reaps it.
  void stop(int graceMs = 3000);

  // Whether `program` can be found in PATH.
  static bool available(const std::string& program) { return !findInPath(program).empty(); }
  // The path of `program` in PATH; "" when there is none.
  static std::string findInPath(const std::string& program);

private:
  pid_t pid_ = -1;
  std::string name_;
};

} // namespace kwoserve
