#include "kwo-serve/AgentPath.h"

#include <unistd.h>

namespace kwoserve {

std::string AgentPath::find(const std::string& selfDir, const std::string& fallback) {
  if (selfDir.empty())
    return fallback;
  for (const char* relative :
       {"/kwoagent-x11", "/../libexec/kwoagent-x11", "/../kwoagent-x11/kwoagent-x11"}) {
    std::string candidate = selfDir + relative;
    if (access(candidate.c_str(), X_OK) == 0)
      return candidate;
  }
  return fallback;
}

std::string AgentPath::selfDir() {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (n <= 0)
    return {};
  std::string path(self, size_t(n));
  return path.substr(0, path.rfind('/'));
}

} // namespace kwoserve
