#pragma once

// Runs a function in a forked child with its standard error captured, so
// that signal dispositions, the loop singleton and the log setting of one
// test cannot leak into another. The child ends with _exit(), skipping the
// parent's exit handlers.

#include <functional>
#include <string>
#include <sys/types.h>

namespace os::test {

class ChildProcess {
public:
  // Starts `body` in a child; its return value is the exit status.
  explicit ChildProcess(std::function<int()> body);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }

  // In the child: tell the parent that it reached a point (one byte).
  static void signalReady();
  // In the parent: wait for signalReady, at most `seconds`.
  bool waitReady(int seconds = 30);
  // In the parent: wait until the child sleeps in a system call ('S' in
  // /proc/<pid>/stat), at most `seconds`.
  bool waitSleeping(int seconds = 30);

  // Collects standard error and the exit status (the negated signal number
  // when the child was killed).
  int wait();
  const std::string& errorOutput() const { return errorOutput_; }

private:
  pid_t pid_ = -1;
  int errorRead_ = -1;
  int readyRead_ = -1;
  std::string errorOutput_;
  bool waited_ = false;
  int status_ = 0;
};

} // namespace os::test
