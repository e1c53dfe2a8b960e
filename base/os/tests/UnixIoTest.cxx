#include "PipeTestSupport.h"

#include "base/os/UnixIo.h"
#include "base/plat/Exception.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace os {
namespace {

using test::ListeningSocket;

const std::string uid = std::to_string(::getuid());

TEST(UnixIoTest, NamesTellTheSidePathAndPeerUidAndTheSocketIsCloseOnExec) {
  testsupport::TempDir dir;
  ListeningSocket listener(dir.path() + "/agent.sock");
  std::unique_ptr<UnixIo> client = UnixIo::connectTo(listener.path());
  EXPECT_EQ(client->name(), "<unix-client-" + listener.path() + "-uid-" + uid + ">");
  EXPECT_EQ(client->peerUid(), ::getuid());
  EXPECT_EQ(client->peerAddress(), "[unix:" + listener.path() + "]");
  EXPECT_TRUE(client->hasProperty("secureTransport"));
  EXPECT_NE(::fcntl(client->getFd(), F_GETFD) & FD_CLOEXEC, 0);

  UnixIo server(listener.accept().release(), false, listener.path());
  EXPECT_EQ(server.name(), "<unix-server-" + listener.path() + "-uid-" + uid + ">");
  EXPECT_EQ(server.peerAddress(), "") << "the connecting side is not bound";
}

TEST(UnixIoTest, ControlCharactersInThePathAreEscaped) {
  testsupport::TempDir dir;
  std::string folder = dir.path() + "/odd\nname]>";
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  ListeningSocket listener(folder + "/s");
  std::unique_ptr<UnixIo> io = UnixIo::connectTo(listener.path());
  EXPECT_EQ(io->name(), "<unix-client-" + dir.path() + "/odd\\x0aname]\\x3e/s-uid-" + uid + ">");
  EXPECT_EQ(io->peerAddress(), "[unix:" + dir.path() + "/odd\\x0aname\\x5d>/s]");
}

TEST(UnixIoTest, FailuresNameTheCallAndTheError) {
  testsupport::TempDir dir;
  // sun_path holds 108 bytes including the terminating zero.
  auto ofLength = [&](size_t length) {
    return dir.path() + "/" + std::string(length - dir.path().size() - 1, 'p');
  };
  const std::tuple<std::string, int, const char*> cases[] = {
    {ofLength(107), ENOENT, "connect: "},
    {ofLength(108), ENAMETOOLONG, "UnixIo: "},
  };
  for (const auto& [path, err, start] : cases) {
    SCOPED_TRACE(path.size());
    try {
      UnixIo::connectTo(path);
      ADD_FAILURE() << "connected";
    } catch (const plat::SystemException& e) {
      EXPECT_EQ(e.err(), err);
      EXPECT_TRUE(std::string(e.str()).starts_with(start)) << e.str();
    }
  }
}

} // namespace
} // namespace os
