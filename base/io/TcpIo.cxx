#include "base/io/TcpIo.h"

#include "base/plat/Format.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace io {

namespace {

// Numeric text only: a name lookup could block on the network.
std::string numericPeer(int fd) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    return {};
  if (address.ss_family != AF_INET && address.ss_family != AF_INET6)
    return {};
  char host[NI_MAXHOST];
  char port[NI_MAXSERV];
  if (::getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host, sizeof host, port,
                    sizeof port, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
    return {};
  if (address.ss_family == AF_INET6)
    return plat::format("[%s]:%s", host, port);
  return plat::format("%s:%s", host, port);
}

} // namespace

TcpIo::TcpIo(int fd, bool ownsFd) : FdIo(fd, ownsFd) {}

const std::string& TcpIo::name() {
  if (!name_.empty())
    return name_;
  std::string peer = numericPeer(getFd());
  if (peer.empty())
    return FdIo::name();
  name_ = "<tcp-" + peer + ">";
  return name_;
}

std::string TcpIo::peerAddress() {
  return numericPeer(getFd());
}

} // namespace io
