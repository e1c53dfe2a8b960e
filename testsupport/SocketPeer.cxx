#include "testsupport/SocketPeer.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/socket.h>

namespace testsupport {

SocketPeer::SocketPeer() {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
    throw std::runtime_error(std::string("socketpair: ") + std::strerror(errno));
  ours_ = fds[0];
  peer_ = fds[1];
  ::fcntl(peer_, F_SETFL, O_NONBLOCK);
}

SocketPeer::~SocketPeer() {
  close();
  if (!taken_)
    ::close(ours_);
}

void SocketPeer::send(const void* data, size_t size, const std::function<void()>& whileFull) {
  const char* bytes = static_cast<const char*>(data);
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::write(peer_, bytes + done, size - done);
    if (n > 0) {
      done += size_t(n);
      continue;
    }
    if (n == 0 || errno != EAGAIN || !whileFull)
      throw std::runtime_error(std::string("SocketPeer::send: ") + std::strerror(errno));
    // Our end's socket buffer is full: let the code under test read.
    whileFull();
  }
}

void SocketPeer::close() {
  if (peer_ >= 0)
    ::close(peer_);
  peer_ = -1;
}

} // namespace testsupport
