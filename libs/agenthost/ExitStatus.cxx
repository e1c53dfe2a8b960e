#include "libs/agenthost/ExitStatus.h"

#include "base/plat/Format.h"

#include <cstring>
#include <sys/wait.h>

namespace agenthost {

ExitStatus ExitStatus::fromWaitStatus(int status) {
  if (WIFEXITED(status))
    return ExitStatus{WEXITSTATUS(status), 0};
  if (WIFSIGNALED(status))
    return ExitStatus{-1, WTERMSIG(status)};
  return unknown();
}

std::string ExitStatus::describe() const {
  if (signal != 0)
    return plat::format("killed by signal %d (%s)", signal, strsignal(signal));
  if (code >= 0)
    return plat::format("exit status %d", code);
  return "unknown status";
}

} // namespace agenthost
