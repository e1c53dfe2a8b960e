#include "PipeTestSupport.h"

#include "base/os/UnixIo.h"
#include "base/plat/Exception.h"
#include "base/rdr/InStream.h"
#include "base/rdr/OutStream.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace os {
namespace {

using test::ListeningSocket;
using test::TempDir;

std::string uidText() {
  return std::to_string(::getuid());
}

TEST(UnixIoTest, ClientNamesPathAndPeerUid) {
  TempDir dir;
  ListeningSocket listener(dir.file("agent.sock"));
  std::unique_ptr<UnixIo> io = UnixIo::connectTo(listener.path());
  EXPECT_EQ(io->name(), "<unix-client-" + listener.path() + "-uid-" + uidText() + ">");
  ASSERT_TRUE(io->peerUid().has_value());
  EXPECT_EQ(*io->peerUid(), ::getuid());
  EXPECT_EQ(io->peerAddress(), "[unix:" + listener.path() + "]");
  EXPECT_TRUE(io->hasProperty("secureTransport"));
  EXPECT_FALSE(io->hasProperty("securetransport"));
  EXPECT_FALSE(io->hasProperty(""));
}

TEST(UnixIoTest, AcceptedSideIsServerAndItsUnboundPeerHasNoAddress) {
  TempDir dir;
  ListeningSocket listener(dir.file("agent.sock"));
  std::unique_ptr<UnixIo> client = UnixIo::connectTo(listener.path());
  io::UniqueFd accepted = listener.accept();
  ASSERT_TRUE(accepted);
  UnixIo server(accepted.release(), false, listener.path());
  EXPECT_EQ(server.name(), "<unix-server-" + listener.path() + "-uid-" + uidText() + ">");
  EXPECT_EQ(server.peerAddress(), "");
}

TEST(UnixIoTest, SocketPairEndIsAnonymous) {
  int ends[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
  io::UniqueFd other(ends[1]);
  UnixIo io(ends[0], false);
  EXPECT_EQ(io.name(), "<unix-server-anon-uid-" + uidText() + ">");
  EXPECT_EQ(io.peerAddress(), "");
  EXPECT_TRUE(io.hasProperty("secureTransport"));
}

TEST(UnixIoTest, ConnectedSocketIsCloseOnExecAndCarriesData) {
  TempDir dir;
  ListeningSocket listener(dir.file("agent.sock"));
  std::unique_ptr<UnixIo> io = UnixIo::connectTo(listener.path());
  io::UniqueFd server = listener.accept();
  ASSERT_TRUE(server);
  EXPECT_NE(::fcntl(io->getFd(), F_GETFD) & FD_CLOEXEC, 0);

  io->outStream().writeBytes("to server", 9);
  io->outStream().flush();
  EXPECT_EQ(test::readExactly(server.get(), 9), "to server");
  test::writeAll(server.get(), "to agent", 8);
  char buffer[8];
  io->inStream().readBytes(buffer, sizeof buffer);
  EXPECT_EQ(std::string(buffer, sizeof buffer), "to agent");
}

TEST(UnixIoTest, PathLengthLimit) {
  TempDir dir;
  // sun_path holds 108 bytes including the terminating zero.
  struct Case {
    size_t length;
    int err;
    const char* call;
  };
  for (const Case& c : {Case{107, ENOENT, "connect"}, Case{108, ENAMETOOLONG, "UnixIo"},
                        Case{4096, ENAMETOOLONG, "UnixIo"}}) {
    SCOPED_TRACE(c.length);
    std::string path = dir.path() + "/";
    path.append(c.length - path.size(), 'p');
    try {
      UnixIo::connectTo(path);
      ADD_FAILURE() << "connected";
    } catch (const plat::SystemException& e) {
      EXPECT_EQ(e.err(), c.err);
      EXPECT_EQ(std::string(e.str()).rfind(std::string(c.call) + ": ", 0), 0u) << e.str();
    }
  }
}

TEST(UnixIoTest, NobodyListeningIsAConnectError) {
  TempDir dir;
  std::string bound = dir.file("bound-only.sock");
  io::UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, bound.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

  for (const auto& [path, err] : {std::pair{bound, ECONNREFUSED}, std::pair{dir.file("none"), ENOENT}}) {
    SCOPED_TRACE(path);
    try {
      UnixIo::connectTo(path);
      ADD_FAILURE() << "connected";
    } catch (const plat::SystemException& e) {
      EXPECT_EQ(e.err(), err);
      EXPECT_EQ(std::string(e.str()).rfind("connect: ", 0), 0u) << e.str();
    }
  }
}

TEST(UnixIoTest, ControlCharactersInThePathAreEscaped) {
  TempDir dir;
  std::string folder = dir.file("odd\nname]>");
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  ListeningSocket listener(folder + "/s");
  std::unique_ptr<UnixIo> io = UnixIo::connectTo(listener.path());
  EXPECT_EQ(io->name(),
            "<unix-client-" + dir.path() + "/odd\\x0aname]\\x3e/s-uid-" + uidText() + ">");
  EXPECT_EQ(io->peerAddress(), "[unix:" + dir.path() + "/odd\\x0aname\\x5d>/s]");
}

} // namespace
} // namespace os
