#pragma once

// Shared pieces of the shared-memory tests: views of what the system holds
// and a forked holder of a marker's lock. Every test uses a
// private base directory (testsupport::TempDir) instead of /tmp, so that no
// test touches the runtime directory of a real agent.

#include "base/plat/unix/SharedMemMarker.h"
#include "testsupport/ForkedChild.h"

#include <sys/stat.h>

#include <string>

namespace shmtest {

using testsupport::ForkedChild;

inline bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

inline mode_t modeOf(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// A forked process that holds the lock of the marker at `path` (it is
// another process, so the lock conflicts with this one's) until release().
class MarkerHolder {
public:
  explicit MarkerHolder(const std::string& path)
    : child_([path](int up, int down) {
        plat::SharedMemMarker marker;
        ForkedChild::sendLine(up, marker.acquire(path) ? "held" : "refused");
        ForkedChild::receiveLine(down);
        return 0;
      }),
      held_(child_.readLine() == "held") {}

  bool held() const { return held_; }
  // Lets the holder drop the marker and end; its exit status.
  int release() {
    child_.tell("go");
    return child_.wait();
  }

private:
  ForkedChild child_;
  bool held_;
};

} // namespace shmtest
