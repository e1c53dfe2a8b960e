#pragma once

// A child process started from an argument vector and an environment, and
// watched from the caller's loop until it ends.
//
// Ownership: owns the child. The destructor makes sure it is gone: a child
// still running gets SIGTERM and at once SIGKILL, and is reaped; call
// stop() first to give it time to end on its own.
// Threading: the loop thread only. The exit is noticed through a process
// descriptor (pidfd) in the thread's descriptor manager, or, where the
// kernel has none, by polling every 100 ms.
// Failures: a program that cannot be executed is reported by the
// constructor (plat::SystemException "execve" with the child's errno),
// after the child has been reaped.

#include "base/io/FdHandler.h"
#include "base/io/UniqueFd.h"
#include "base/plat/Timer.h"
#include "libs/agenthost/ExitStatus.h"

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace io {
class FdManager;
}

namespace agenthost {

class LaunchedChild : private io::FdHandler, private plat::Timer::Callback {
public:
  class Callback {
  public:
    // The child ended and has been reaped (not called for ends collected by
    // stop() or the destructor).
    virtual void childExited(LaunchedChild& child, const ExitStatus& status) = 0;

  protected:
    ~Callback() = default;
  };

  enum class Watch { pidfd, polling };

  // Starts argv[0] with `argv` and `env`. Descriptors other than 0-2 are
  // not passed on; signal dispositions and the mask are reset. `manager` is
  // the loop's descriptor manager (not owned, must outlive the child
  // object). `watch` polling is for systems (and tests) without pidfd.
  LaunchedChild(Callback& callback, const std::vector<std::string>& argv,
                const std::vector<std::string>& env, io::FdManager& manager,
                Watch watch = Watch::pidfd);
  ~LaunchedChild() override;
  LaunchedChild(const LaunchedChild&) = delete;
  LaunchedChild& operator=(const LaunchedChild&) = delete;

  pid_t pid() const { return pid_; }
  bool running() const { return !status_; }
  // How it ended, once reaped.
  const std::optional<ExitStatus>& status() const { return status_; }
  Watch watch() const { return watch_; }

  // Sends `sig` while the child runs; nothing after it was reaped.
  void signal(int sig);
  // SIGTERM, up to `graceMs` for the child to end, then SIGKILL; reaps it.
  // Blocks. Does not call the callback.
  void stop(int graceMs);

private:
  void spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env);
  void startWatching();
  void stopWatching();
  // Collects the status if the child has ended; true when it has.
  bool tryReap();
  void reaped(const ExitStatus& status);
  // Waits up to timeoutMs for the end; true when reaped.
  bool waitFor(int timeoutMs);

  // io::FdHandler
  void handleRead() override;
  void handleWrite() override {}
  void fdManagerGone() override;
  // plat::Timer::Callback
  bool timerFired(plat::Timer& timer) override;

  Callback& callback_;
  io::FdManager* manager_;
  Watch watch_;
  pid_t pid_ = -1;
  io::UniqueFd pidfd_;
  plat::Timer pollTimer_;
  std::optional<ExitStatus> status_;
};

} // namespace agenthost
