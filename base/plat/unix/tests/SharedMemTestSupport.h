#pragma once

// Shared pieces of the shared-memory tests: a private base directory (so
// that no test touches the runtime directory of a real agent under /tmp),
// forked helper processes, and views of what the system holds.

#include "base/plat/unix/SharedMem.h"
#include "base/plat/unix/SharedMemMarker.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <string>

namespace shmtest {

// A fresh directory standing in for /tmp, removed with everything in it.
class PrivateBase {
public:
  PrivateBase() {
    char templ[] = "/tmp/kwo-shmtest.XXXXXX";
    if (!mkdtemp(templ))
      std::abort();
    path_ = templ;
  }
  ~PrivateBase() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  PrivateBase(const PrivateBase&) = delete;
  PrivateBase& operator=(const PrivateBase&) = delete;

  const std::string& path() const { return path_; }

private:
  std::string path_;
};

// A forked process running `body(toParent, fromParent)`; its return value
// (or 99 for an escaped exception) is the exit status. The child ends with
// _exit, so objects it leaves behind are not destroyed: that is how the
// tests play a crashed agent.
class ForkedChild {
public:
  explicit ForkedChild(const std::function<int(int toParent, int fromParent)>& body) {
    int up[2], down[2];
    if (pipe(up) < 0 || pipe(down) < 0)
      std::abort();
    pid_ = fork();
    if (pid_ < 0)
      std::abort();
    if (pid_ == 0) {
      close(up[0]);
      close(down[1]);
      int status = 99;
      try {
        status = body(up[1], down[0]);
      } catch (...) {
      }
      _exit(status);
    }
    close(up[1]);
    close(down[0]);
    fromChild_ = up[0];
    toChild_ = down[1];
  }
  ~ForkedChild() {
    close(toChild_);
    wait();
    close(fromChild_);
  }
  ForkedChild(const ForkedChild&) = delete;
  ForkedChild& operator=(const ForkedChild&) = delete;

  pid_t pid() const { return pid_; }

  // The next line the child wrote (without the newline); what is there when
  // the child ends first.
  std::string readLine() { return receiveLine(fromChild_); }
  // Sends one line to the child.
  void tell(const std::string& line) { sendLine(toChild_, line); }
  // The exit status (128 + signal when killed); waits for the end.
  int wait() {
    if (pid_ > 0) {
      int status = 0;
      while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      pid_ = -1;
    }
    return status_;
  }

  static void sendLine(int fd, const std::string& line) {
    std::string text = line + "\n";
    if (write(fd, text.data(), text.size()) != ssize_t(text.size()))
      std::abort();
  }
  static std::string receiveLine(int fd) {
    std::string line;
    char c;
    while (read(fd, &c, 1) == 1 && c != '\n')
      line += c;
    return line;
  }

private:
  pid_t pid_ = -1;
  int status_ = -1;
  int fromChild_ = -1;
  int toChild_ = -1;
};

inline bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

inline mode_t modeOf(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

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

// The ids of the System V segments that process `pid` created.
inline std::set<int> sysvSegmentsOf(pid_t pid) {
  std::set<int> ids;
  std::ifstream in("/proc/sysvipc/shm");
  std::string line;
  std::getline(in, line);  // heading
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    long long key, id, perms, size, cpid;
    if (fields >> key >> id >> perms >> size >> cpid && cpid == pid)
      ids.insert(int(id));
  }
  return ids;
}

// The open-file status flags of this process's descriptor for `path`, or -1
// when it has none open.
inline long openFlagsOf(const std::string& path) {
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ignored)) {
    std::error_code err;
    if (std::filesystem::read_symlink(entry.path(), err) != path)
      continue;
    std::ifstream info("/proc/self/fdinfo/" + entry.path().filename().string());
    std::string key;
    while (info >> key) {
      if (key == "flags:") {
        std::string octal;
        info >> octal;
        return std::stol(octal, nullptr, 8);
      }
    }
  }
  return -1;
}

// A byte pattern that differs from position to position.
inline uint8_t patternByte(size_t i, unsigned seed) {
  return uint8_t((i * 131 + seed * 17 + (i >> 8)) & 0xff);
}

// Writes the pattern of `seed` over the whole segment.
inline void fill(const plat::SharedMem& shm, unsigned seed) {
  for (size_t i = 0; i < shm.size(); i++)
    shm.data()[i] = patternByte(i, seed);
}

// Whether the whole segment holds the pattern of `seed`.
inline bool holds(const plat::SharedMem& shm, unsigned seed) {
  for (size_t i = 0; i < shm.size(); i++) {
    if (shm.data()[i] != patternByte(i, seed))
      return false;
  }
  return true;
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

// Whether a forked child that opens `created` with `open` finds the bytes the
// parent wrote, and the parent then finds the bytes the child wrote.
inline bool sharedWithChild(const plat::SharedMem& created,
                            const std::function<std::unique_ptr<plat::SharedMem>()>& open) {
  fill(created, 20);
  ForkedChild child([&](int, int) {
    std::unique_ptr<plat::SharedMem> seen = open();
    if (!holds(*seen, 20))
      return 1;
    fill(*seen, 21);
    return 0;
  });
  return child.wait() == 0 && holds(created, 21);
}

} // namespace shmtest
