#pragma once

// Runs a function in a forked child of the test, for tests that need a
// second process (another holder of a lock, a crashed or exiting owner) or
// must keep signal dispositions and process-wide singletons out of the test
// binary. The child and the test talk in lines over a pipe each way; the
// child's standard error is collected. The child ends with _exit(), so the
// objects it leaves behind are not destroyed: that is how a test plays a
// crashed process.

#include "testsupport/TempDir.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <signal.h>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace testsupport {

class ForkedChild {
public:
  // `body(toParent, fromParent)` runs in the child; its return value (99
  // when an exception escapes) is the exit status.
  explicit ForkedChild(const std::function<int(int toParent, int fromParent)>& body) {
    int up[2], down[2], err[2];
    if (pipe(up) < 0 || pipe(down) < 0 || pipe(err) < 0)
      std::abort();
    std::fflush(nullptr);
    pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0)
      std::abort();
    if (pid_ == 0) {
      // Dies with the test: a test killed at its deadline leaves no child.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent)
        _exit(99);
      close(up[0]);
      close(down[1]);
      close(err[0]);
      dup2(err[1], 2);
      int status = 99;
      try {
        status = body(up[1], down[0]);
      } catch (...) {
      }
      std::fflush(nullptr);
      _exit(status);
    }
    for (int fd : {up[1], down[0], err[1]})
      close(fd);
    fromChild_ = up[0];
    toChild_ = down[1];
    errors_ = err[0];
  }
  // A child still running is killed.
  ~ForkedChild() {
    close(toChild_);
    if (!waited_)
      kill(pid_, SIGKILL);
    wait();
    close(fromChild_);
    close(errors_);
  }
  ForkedChild(const ForkedChild&) = delete;
  ForkedChild& operator=(const ForkedChild&) = delete;

  pid_t pid() const { return pid_; }

  // The next line the child wrote (without the newline); what is there when
  // the child ends first.
  std::string readLine() { return receiveLine(fromChild_); }
  void tell(const std::string& line) { sendLine(toChild_, line); }

  static void sendLine(int fd, const std::string& line) {
    if (write(fd, (line + "\n").data(), line.size() + 1) != ssize_t(line.size() + 1))
      std::abort();
  }
  static std::string receiveLine(int fd) {
    std::string line;
    for (char c; read(fd, &c, 1) == 1 && c != '\n';)
      line += c;
    return line;
  }

  // Whether the child came to sleep in a system call ('S' in its
  // /proc/<pid>/stat) within `seconds`.
  bool waitSleeping(int seconds = 30) {
    for (int i = 0; i < seconds * 1000; i++) {
      std::string text = readFile("/proc/" + std::to_string(pid_) + "/stat");
      auto close = text.rfind(')');
      if (close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'S')
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }

  // Waits for the end and collects standard error; the exit status, or the
  // negated number of the signal that killed the child.
  int wait() {
    char buffer[4096];
    for (ssize_t n; !waited_ && (n = read(errors_, buffer, sizeof buffer)) != 0;) {
      if (n > 0)
        errorOutput_.append(buffer, size_t(n));
      else if (errno != EINTR)
        break;
    }
    int status = 0;
    while (!waited_ && waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    if (!waited_)
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    waited_ = true;
    return status_;
  }
  const std::string& errorOutput() const { return errorOutput_; }

private:
  pid_t pid_ = -1;
  int fromChild_ = -1;
  int toChild_ = -1;
  int errors_ = -1;
  bool waited_ = false;
  int status_ = 0;
  std::string errorOutput_;
};

} // namespace testsupport
