#include "base/rdr/FdCalls.h"

#include "base/plat/Exception.h"
#include "base/rdr/EndOfStream.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <sys/select.h>
#include <unistd.h>

namespace rdr {

void waitForFd(int fd, bool forWrite, int timeoutMs) {
  if (fd < 0)
    throw plat::SystemException("select", EBADF);
  if (fd >= FD_SETSIZE)
    throw plat::SystemException("select", EMFILE);
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
  for (;;) {
    fd_set fds;
    FD_ZERO(&fds);
    FD_SET(fd, &fds);
    timeval limit{};
    timeval* limitPtr = nullptr;
    if (timeoutMs >= 0) {
      auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
      long long us = std::max<long long>(left.count(), 0);
      limit.tv_sec = time_t(us / 1000000);
      limit.tv_usec = suseconds_t(us % 1000000);
      limitPtr = &limit;
    }
    int n = ::select(fd + 1, forWrite ? nullptr : &fds, forWrite ? &fds : nullptr, nullptr, limitPtr);
    if (n > 0)
      return;
    if (n == 0)
      throw plat::TimedOut();
    if (errno != EINTR)
      throw plat::SystemException("select", errno);
  }
}

size_t readFd(int fd, uint8_t* buffer, size_t max) {
  for (;;) {
    ssize_t n = ::read(fd, buffer, max);
    if (n > 0)
      return size_t(n);
    if (n == 0)
      throw EndOfStream();
    if (errno == EAGAIN || errno == EWOULDBLOCK)
      return 0;
    if (errno != EINTR)
      throw plat::SystemException("read", errno);
  }
}

} // namespace rdr
