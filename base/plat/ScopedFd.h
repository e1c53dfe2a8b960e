#pragma once

// Sole owner of a descriptor in the platform layer (which sits below io and
// cannot use io::UniqueFd): closes it on destruction unless released.

#include <unistd.h>

#include <utility>

namespace plat {

class ScopedFd {
public:
  ScopedFd() = default;
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd() { reset(); }
  ScopedFd(ScopedFd&& other) noexcept : fd_(other.release()) {}
  ScopedFd& operator=(ScopedFd&& other) noexcept {
    if (this != &other)
      reset(other.release());
    return *this;
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

  int release() { return std::exchange(fd_, -1); }
  // close() is not retried on EINTR: on Linux the descriptor is gone anyway.
  void reset(int fd = -1) {
    int old = std::exchange(fd_, fd);
    if (old >= 0)
      ::close(old);
  }

private:
  int fd_ = -1;
};

} // namespace plat
