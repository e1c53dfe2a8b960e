#include "base/io/TcpIo.h"
#include "base/io/UniqueFd.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>

namespace io {
namespace {

// A connected loopback pair of the given family, or nothing where the
// family is not configured.
struct LoopbackPair {
  UniqueFd client;
  UniqueFd server;
  uint16_t clientPort = 0;
  uint16_t serverPort = 0;
};

bool makePair(int family, LoopbackPair& pair) {
  sockaddr_storage address{};
  socklen_t length;
  if (family == AF_INET) {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    v4->sin_family = AF_INET;
    v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    length = sizeof *v4;
  } else {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    v6->sin6_family = AF_INET6;
    v6->sin6_addr = in6addr_loopback;
    length = sizeof *v6;
  }
  UniqueFd listener(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!listener || ::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(listener.get(), 1) != 0 ||
      ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
    return false;
  pair.client.reset(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (::connect(pair.client.get(), reinterpret_cast<sockaddr*>(&address), length) != 0)
    return false;
  pair.server.reset(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
  sockaddr_storage local{};
  socklen_t localLength = sizeof local;
  ::getsockname(pair.client.get(), reinterpret_cast<sockaddr*>(&local), &localLength);
  auto port = [](const sockaddr_storage& a) {
    return ntohs(a.ss_family == AF_INET ? reinterpret_cast<const sockaddr_in&>(a).sin_port
                                        : reinterpret_cast<const sockaddr_in6&>(a).sin6_port);
  };
  pair.clientPort = port(local);
  pair.serverPort = port(address);
  return bool(pair.server);
}

TEST(TcpIoTest, NamedAfterTheNumericPeerAddress) {
  LoopbackPair pair;
  ASSERT_TRUE(makePair(AF_INET, pair));
  TcpIo server(pair.server.release());
  std::string clientText = "127.0.0.1:" + std::to_string(pair.clientPort);
  EXPECT_EQ(server.name(), "<tcp-" + clientText + ">");
  EXPECT_EQ(server.peerAddress(), clientText);
  EXPECT_FALSE(server.hasProperty("secureTransport"));

  TcpIo client(pair.client.release());
  EXPECT_EQ(client.name(), "<tcp-127.0.0.1:" + std::to_string(pair.serverPort) + ">");
}

TEST(TcpIoTest, Ipv6AddressesAreBracketed) {
  LoopbackPair pair;
  if (!makePair(AF_INET6, pair))
    GTEST_SKIP() << "no IPv6 loopback here";
  TcpIo server(pair.server.release());
  EXPECT_EQ(server.name(), "<tcp-[::1]:" + std::to_string(pair.clientPort) + ">");
}

TEST(TcpIoTest, UnconnectedSocketFallsBackToTheDescriptorName) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  TcpIo io(fd);
  EXPECT_EQ(io.name(), "<fd" + std::to_string(fd) + ">");
  EXPECT_EQ(io.peerAddress(), "");
}

} // namespace
} // namespace io
