#include "ChildProcess.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace os::test {

namespace {

int readyWrite = -1;

} // namespace

ChildProcess::ChildProcess(std::function<int()> body) {
  int errorPipe[2], readyPipe[2];
  if (::pipe(errorPipe) < 0 || ::pipe(readyPipe) < 0)
    std::abort();
  std::fflush(nullptr);
  pid_ = ::fork();
  if (pid_ < 0)
    std::abort();
  if (pid_ == 0) {
    ::close(errorPipe[0]);
    ::close(readyPipe[0]);
    ::dup2(errorPipe[1], 2);
    ::close(errorPipe[1]);
    readyWrite = readyPipe[1];
    int status = body();
    std::fflush(nullptr);
    ::_exit(status);
  }
  ::close(errorPipe[1]);
  ::close(readyPipe[1]);
  errorRead_ = errorPipe[0];
  readyRead_ = readyPipe[0];
}

ChildProcess::~ChildProcess() {
  if (!waited_) {
    ::kill(pid_, SIGKILL);
    wait();
  }
  ::close(errorRead_);
  ::close(readyRead_);
}

void ChildProcess::signalReady() {
  char byte = 'R';
  if (::write(readyWrite, &byte, 1) != 1)
    ::_exit(98);
}

bool ChildProcess::waitReady(int seconds) {
  pollfd fd{readyRead_, POLLIN, 0};
  if (::poll(&fd, 1, seconds * 1000) != 1)
    return false;
  char byte;
  return ::read(readyRead_, &byte, 1) == 1;
}

bool ChildProcess::waitSleeping(int seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    auto close = text.rfind(')');
    if (close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'S')
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

int ChildProcess::wait() {
  if (waited_)
    return status_;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(errorRead_, buffer, sizeof buffer);
    if (n > 0) {
      errorOutput_.append(buffer, size_t(n));
      continue;
    }
    if (n < 0 && errno == EINTR)
      continue;
    break;
  }
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  waited_ = true;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  return status_;
}

} // namespace os::test
