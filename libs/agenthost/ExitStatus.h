#pragma once

// How a child process ended, decoded from waitpid's status.

#include <string>

namespace agenthost {

struct ExitStatus {
  // Exit code when it exited; -1 when it was killed or the status is unknown.
  int code = -1;
  // Signal that killed it; 0 when it exited (or unknown).
  int signal = 0;

  static ExitStatus fromWaitStatus(int status);
  // The status could not be collected (another party reaped the child).
  static ExitStatus unknown() { return {}; }

  bool exitedWith(int expected) const { return signal == 0 && code == expected; }
  // "exit status N", "killed by signal N (NAME)" or "unknown status".
  std::string describe() const;
  bool operator==(const ExitStatus&) const = default;
};

} // namespace agenthost
