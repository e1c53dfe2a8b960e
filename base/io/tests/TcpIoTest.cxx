#include "base/io/TcpIo.h"
#include "base/io/UniqueFd.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>

namespace io {
namespace {

uint16_t portOf(const sockaddr_storage& a) {
  return ntohs(a.ss_family == AF_INET ? reinterpret_cast<const sockaddr_in&>(a).sin_port
                                      : reinterpret_cast<const sockaddr_in6&>(a).sin6_port);
}

// The accepted end of a loopback connection of the given family and the
// client's port, or nothing where the family is not configured.
std::pair<UniqueFd, uint16_t> acceptedLoopback(int family) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  address.ss_family = sa_family_t(family);
  if (family == AF_INET)
    reinterpret_cast<sockaddr_in&>(address).sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  else
    reinterpret_cast<sockaddr_in6&>(address).sin6_addr = in6addr_loopback;
  UniqueFd listener(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  auto* sa = reinterpret_cast<sockaddr*>(&address);
  if (!listener || ::bind(listener.get(), sa, length) != 0 || ::listen(listener.get(), 1) != 0 ||
      ::getsockname(listener.get(), sa, &length) != 0)
    return {};
  UniqueFd client(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (::connect(client.get(), sa, length) != 0)
    return {};
  sockaddr_storage local{};
  socklen_t localLength = sizeof local;
  ::getsockname(client.get(), reinterpret_cast<sockaddr*>(&local), &localLength);
  return {UniqueFd(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC)), portOf(local)};
}

TEST(TcpIoTest, NamedAfterTheNumericPeerAddress) {
  for (auto [family, host] : {std::pair{AF_INET, "127.0.0.1"}, std::pair{AF_INET6, "[::1]"}}) {
    SCOPED_TRACE(host);
    auto [server, clientPort] = acceptedLoopback(family);
    if (!server) {
      EXPECT_EQ(family, AF_INET6) << "no IPv4 loopback";
      continue;
    }
    TcpIo io(server.release());
    std::string peer = std::string(host) + ":" + std::to_string(clientPort);
    EXPECT_EQ(io.name(), "<tcp-" + peer + ">");
    EXPECT_EQ(io.peerAddress(), peer);
    EXPECT_FALSE(io.hasProperty("secureTransport"));
  }
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  TcpIo unconnected(fd);
  EXPECT_EQ(unconnected.name(), "<fd" + std::to_string(fd) + ">");
  EXPECT_EQ(unconnected.peerAddress(), "");
}

} // namespace
} // namespace io
