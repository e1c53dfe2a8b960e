#include "kwo-serve/WriteWatchdog.h"

#include <fstream>
#include <iterator>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kwoserve {

namespace {

bool stuck(int fd) {
  int unsent = 0;
  pollfd p{fd, POLLOUT, 0};
  return ioctl(fd, SIOCOUTQNSD, &unsent) == 0 && unsent > 0 && poll(&p, 1, 0) == 0;
}

} // namespace

WriteWatchdog::WriteWatchdog()
    : loopThreadStat_("/proc/self/task/" + std::to_string(gettid()) + "/stat"),
      thread_([this] { run(); }) {}

WriteWatchdog::~WriteWatchdog() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void WriteWatchdog::arm(std::vector<int> sockets) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sockets_ = std::move(sockets);
    cut_.clear();
    deadline_ = Clock::now() + limit;
    armed_ = true;
  }
  wake_.notify_one();
}

std::vector<int> WriteWatchdog::disarm() {
  std::lock_guard<std::mutex> lock(mutex_);
  armed_ = false;
  return std::move(cut_);
}

void WriteWatchdog::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    if (!armed_) {
      wake_.wait(lock);
      continue;
    }
    Clock::time_point deadline = deadline_;
    if (wake_.wait_until(lock, deadline) != std::cv_status::timeout || !armed_ ||
        deadline_ != deadline)
      continue;
    if (loopThreadWaits())
      cutStuckSockets();
    deadline_ = Clock::now() + recheck;
  }
}

bool WriteWatchdog::loopThreadWaits() const {
  // The state follows the parenthesised command name: "S" is asleep.
  std::ifstream stat(loopThreadStat_);
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  size_t close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'S';
}

void WriteWatchdog::cutStuckSockets() {
  for (int fd : sockets_) {
    if (stuck(fd)) {
      shutdown(fd, SHUT_RDWR);
      cut_.push_back(fd);
    }
  }
}

} // namespace kwoserve
