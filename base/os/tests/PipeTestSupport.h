#pragma once

// A listening Unix socket for the socket and launched-process pipe tests.

#include "base/io/UniqueFd.h"

#include <cstring>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>

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
      throw std::runtime_error("cannot listen on " + path);
  }

  // The next connection, waiting for it at most `ms` (none when none came).
  io::UniqueFd accept(int ms = 60000) {
    pollfd ready{fd_.get(), POLLIN, 0};
    if (::poll(&ready, 1, ms) != 1)
      return io::UniqueFd();
    return io::UniqueFd(::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
  }

  const std::string& path() const { return path_; }

private:
  std::string path_;
  io::UniqueFd fd_;
};

} // namespace os::test
