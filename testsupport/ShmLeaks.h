#pragma once

// What a process left in shared memory: the checks that no segment outlives
// its owner.

#include <sys/types.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace testsupport {

// The POSIX objects of /dev/shm whose names start with "kwo-<pid>-".
inline std::set<std::string> posixObjectsOf(pid_t pid) {
  std::set<std::string> names;
  std::string prefix = "kwo-" + std::to_string(pid) + "-";
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ignored)) {
    std::string name = entry.path().filename();
    if (name.rfind(prefix, 0) == 0)
      names.insert(name);
  }
  return names;
}

// The ids of the System V segments that process `pid` created. A segment
// marked for removal only waits for its last attachment (perhaps the test's
// own mapping) to go: without `markedForRemoval` it is left out.
inline std::set<int> sysvSegmentsOf(pid_t pid, bool markedForRemoval = true) {
  std::set<int> ids;
  std::ifstream in("/proc/sysvipc/shm");
  std::string line;
  std::getline(in, line); // heading
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    long long key, id, size, cpid;
    std::string perms;
    if (!(fields >> key >> id >> perms >> size >> cpid) || cpid != pid)
      continue;
    constexpr long shmDest = 01000;
    if (markedForRemoval || !(std::stol(perms, nullptr, 8) & shmDest))
      ids.insert(int(id));
  }
  return ids;
}

} // namespace testsupport
