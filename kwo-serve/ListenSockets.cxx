#include "kwo-serve/ListenSockets.h"

#include "base/plat/Exception.h"
#include "base/plat/Format.h"
#include "base/plat/LogSrc.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kwoserve {

namespace {

plat::LogSrc vlog("ListenSockets");

constexpr int backlog = 128;

io::UniqueFd listenOn(const sockaddr* address, socklen_t length) {
  io::UniqueFd fd(socket(address->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (fd.get() < 0)
    return fd;
  int one = 1;
  setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  if (address->sa_family == AF_INET6)
    setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof(one));
  if (bind(fd.get(), address, length) != 0 || listen(fd.get(), backlog) != 0) {
    int err = errno;
    fd.reset();
    errno = err;
  }
  return fd;
}

io::UniqueFd listenOnText(const std::string& text, int port) {
  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  v4.sin_port = htons(uint16_t(port));
  if (inet_pton(AF_INET, text.c_str(), &v4.sin_addr) == 1)
    return listenOn(reinterpret_cast<sockaddr*>(&v4), sizeof(v4));
  sockaddr_in6 v6{};
  v6.sin6_family = AF_INET6;
  v6.sin6_port = htons(uint16_t(port));
  if (inet_pton(AF_INET6, text.c_str(), &v6.sin6_addr) == 1)
    return listenOn(reinterpret_cast<sockaddr*>(&v6), sizeof(v6));
  throw plat::Exception(plat::format("'%s' is not an IPv4 or IPv6 address", text.c_str()));
}

} // namespace

ListenSockets::ListenSockets(const std::string& address, int port, const std::string& what)
    : port_(port) {
  std::string main = address == "localhost" ? "127.0.0.1" : address;
  io::UniqueFd first = listenOnText(main, port);
  if (first.get() < 0)
    throw plat::Exception(plat::format("cannot listen on %s port %d for %s: %s", main.c_str(),
                                       port, what.c_str(), strerror(errno)));
  sockets_.push_back(std::move(first));
  // The other family's loopback, as before: not required.
  bool v4 = main.find(':') == std::string::npos;
  io::UniqueFd second = listenOnText(v4 ? "::1" : "127.0.0.1", port);
  if (second.get() >= 0)
    sockets_.push_back(std::move(second));
}

std::vector<int> ListenSockets::descriptors() const {
  std::vector<int> fds;
  for (const io::UniqueFd& fd : sockets_)
    fds.push_back(fd.get());
  return fds;
}

int ListenSockets::accept(int listener) {
  for (;;) {
    int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      // Out of descriptors: the connection stays queued; the loop comes back.
      if (errno == EMFILE || errno == ENFILE)
        vlog.error("Cannot accept a connection: %s", strerror(errno));
      return -1;
    }
    if (fd < descriptorLimit)
      return fd;
    vlog.error("Connection from %s refused: too many descriptors open", peerAddress(fd).c_str());
    close(fd);
  }
}

std::string ListenSockets::peerAddress(int fd) {
  sockaddr_storage peer{};
  socklen_t length = sizeof(peer);
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0)
    return "?";
  char text[INET6_ADDRSTRLEN] = "?";
  if (peer.ss_family == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&peer)->sin_addr, text, sizeof(text));
  else if (peer.ss_family == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&peer)->sin6_addr, text, sizeof(text));
  return text;
}

} // namespace kwoserve
