#pragma once

// Pieces shared by the socket and launched-process pipe tests: a listening
// Unix socket, a descriptor number that is taken over for a test and given
// back afterwards, and whole reads and writes.

#include "base/io/UniqueFd.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace os::test {

class ListeningSocket {
public:
  explicit ListeningSocket(const std::string& path) : path_(path) {
    fd_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (!fd_ || ::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd_.get(), 4) != 0)
      throw std::runtime_error(std::string("listen: ") + std::strerror(errno));
  }

  // Waits (with a generous limit) for the next connection.
  io::UniqueFd accept() {
    pollfd ready{fd_.get(), POLLIN, 0};
    if (::poll(&ready, 1, 60000) != 1)
      return io::UniqueFd();
    return io::UniqueFd(::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
  }

  // Whether a connection is waiting, without waiting for one.
  bool hasPending() {
    pollfd ready{fd_.get(), POLLIN, 0};
    return ::poll(&ready, 1, 0) == 1;
  }

  const std::string& path() const { return path_; }

private:
  std::string path_;
  io::UniqueFd fd_;
};

// Moves whatever descriptor `target` holds aside, so that the test can put
// its own there, and puts it back (or closes the number) at the end.
class SavedFd {
public:
  explicit SavedFd(int target) : target_(target), saved_(::fcntl(target, F_DUPFD_CLOEXEC, 100)) {}
  ~SavedFd() {
    if (saved_ >= 0) {
      ::dup2(saved_, target_);
      ::close(saved_);
    } else {
      ::close(target_);
    }
  }
  SavedFd(const SavedFd&) = delete;
  SavedFd& operator=(const SavedFd&) = delete;

private:
  int target_;
  int saved_;
};

inline void writeAll(int fd, const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    ASSERT_GT(n, 0) << std::strerror(errno);
    done += size_t(n);
  }
}

// Exactly `length` bytes, waiting at most a minute for each piece; fewer
// when the peer closes or the time runs out.
inline std::string readExactly(int fd, size_t length) {
  std::string text;
  while (text.size() < length) {
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, 60000) != 1)
      break;
    char buffer[256];
    ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, length - text.size()));
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
      continue;
    if (n <= 0)
      break;
    text.append(buffer, size_t(n));
  }
  return text;
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

} // namespace os::test
