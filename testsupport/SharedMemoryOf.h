#pragma once

// The shared memory a process made and left behind, for tests that check
// that a program cleans up: POSIX objects named after it
// ("/dev/shm/kwo-<pid>-<serial>") and System V segments it created that are
// not marked for removal (such a one only waits for its last attachment,
// perhaps the test's own mapping, to go).

#include <dirent.h>
#include <sys/types.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace testsupport {

inline std::vector<std::string> sharedMemoryOf(pid_t pid) {
  std::vector<std::string> found;
  std::string prefix = "kwo-" + std::to_string(pid) + "-";
  if (DIR* dir = opendir("/dev/shm")) {
    while (dirent* entry = readdir(dir)) {
      if (std::string(entry->d_name).rfind(prefix, 0) == 0)
        found.push_back(std::string("/dev/shm/") + entry->d_name);
    }
    closedir(dir);
  }
  // key shmid perms size cpid ...
  std::ifstream table("/proc/sysvipc/shm");
  std::string line;
  std::getline(table, line);
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    long long key, id, size, cpid;
    std::string perms;
    constexpr long shmDest = 01000;
    if (fields >> key >> id >> perms >> size >> cpid && cpid == pid &&
        !(std::stol(perms, nullptr, 8) & shmDest))
      found.push_back("System V segment " + std::to_string(id));
  }
  return found;
}

} // namespace testsupport
