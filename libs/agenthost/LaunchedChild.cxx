#include "libs/agenthost/LaunchedChild.h"

#include "base/io/FdManager.h"
#include "base/os/ForkExec.h"
#include "base/plat/Exception.h"
#include "base/plat/LogSrc.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace agenthost {

namespace {

plat::LogSrc vlog("LaunchedChild");

constexpr int pollPeriodMs = 100;

int openPidfd(pid_t pid) {
#ifdef SYS_pidfd_open
  return int(syscall(SYS_pidfd_open, pid, 0));
#else
  errno = ENOSYS;
  return -1;
#endif
}

// In the child between fork and exec: only async-signal-safe calls.
void resetSignals() {
  for (int sig = 1; sig < NSIG; sig++) {
    if (sig != SIGKILL && sig != SIGSTOP)
      ::signal(sig, SIG_DFL);
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

std::vector<char*> pointers(const std::vector<std::string>& texts) {
  std::vector<char*> out;
  for (const std::string& text : texts)
    out.push_back(const_cast<char*>(text.c_str()));
  out.push_back(nullptr);
  return out;
}

} // namespace

LaunchedChild::LaunchedChild(Callback& callback, const std::vector<std::string>& argv,
                             const std::vector<std::string>& env, io::FdManager& manager,
                             Watch watch)
  : callback_(callback), manager_(&manager), watch_(watch), pollTimer_(*this) {
  if (argv.empty())
    throw plat::Exception("LaunchedChild: no program");
  spawn(argv, env);
  startWatching();
}

LaunchedChild::~LaunchedChild() {
  stopWatching();
  if (running())
    stop(0);
}

void LaunchedChild::spawn(const std::vector<std::string>& argv,
                          const std::vector<std::string>& env) {
  // Everything the child needs is prepared before fork: after it only
  // async-signal-safe calls are allowed.
  std::vector<char*> args = pointers(argv);
  std::vector<char*> envp = pointers(env);
  pid_ = os::ForkExec::start(
      args[0], args.data(), envp.data(),
      [](void*) {
        os::ForkExec::markDescriptorsCloseOnExec();
        resetSignals();
      },
      nullptr, "execve");
  vlog.info("Started %s as process %d", argv[0].c_str(), int(pid_));
}

void LaunchedChild::startWatching() {
  if (watch_ == Watch::pidfd) {
    int fd = openPidfd(pid_);
    if (fd >= 0) {
      fcntl(fd, F_SETFD, FD_CLOEXEC);
      pidfd_.reset(fd);
      fd_ = fd;
      manager_->addHandler(*this);
      manager_->setEvents(*this, true, false);
      return;
    }
    vlog.info("No process descriptor (%s): polling for the end of %d", strerror(errno),
              int(pid_));
    watch_ = Watch::polling;
  }
  pollTimer_.start(pollPeriodMs);
}

void LaunchedChild::stopWatching() {
  pollTimer_.stop();
  if (manager_ && pidfd_ && manager_->isRegistered(*this)) {
    manager_->setEvents(*this, false, false);
    manager_->removeHandler(*this);
  }
}

bool LaunchedChild::tryReap() {
  if (!running())
    return true;
  int status = 0;
  pid_t got = waitpid(pid_, &status, WNOHANG);
  if (got == 0)
    return false;
  if (got < 0 && errno == EINTR)
    return false;
  // ECHILD: someone else collected it (SIGCHLD ignored); it is gone all the same.
  reaped(got == pid_ ? ExitStatus::fromWaitStatus(status) : ExitStatus::unknown());
  return true;
}

void LaunchedChild::reaped(const ExitStatus& status) {
  status_ = status;
  stopWatching();
  vlog.info("Process %d ended: %s", int(pid_), status.describe().c_str());
}

void LaunchedChild::signal(int sig) {
  // Only before reaping: afterwards the pid may belong to another process.
  if (running())
    kill(pid_, sig);
}

bool LaunchedChild::waitFor(int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!tryReap()) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    end - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0)
      return false;
    if (pidfd_) {
      pollfd pfd{pidfd_.get(), POLLIN, 0};
      poll(&pfd, 1, int(std::min<long long>(left, 1000)));
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min<long long>(left, 10)));
    }
  }
  return true;
}

void LaunchedChild::stop(int graceMs) {
  if (!running())
    return;
  signal(SIGTERM);
  if (waitFor(graceMs))
    return;
  vlog.status("Process %d did not end within %d ms: killing it", int(pid_), graceMs);
  signal(SIGKILL);
  int status = 0;
  pid_t got;
  do {
    got = waitpid(pid_, &status, 0);
  } while (got < 0 && errno == EINTR);
  reaped(got == pid_ ? ExitStatus::fromWaitStatus(status) : ExitStatus::unknown());
}

void LaunchedChild::handleRead() {
  if (tryReap())
    callback_.childExited(*this, *status_);
}

void LaunchedChild::fdManagerGone() {
  // The loop is going away first: nothing will tell us of the end any more;
  // the destructor still stops and reaps the child.
  manager_ = nullptr;
}

bool LaunchedChild::timerFired(plat::Timer&) {
  if (!tryReap())
    return true;
  callback_.childExited(*this, *status_);
  return false;
}

} // namespace agenthost
