#include "PipeTestSupport.h"

#include "base/crypto/mbedtls/Sha256.h"
#include "base/io/FdIo.h"
#include "base/io/TcpIo.h"
#include "base/os/LaunchedProcessPipe.h"
#include "base/plat/Exception.h"
#include "base/plat/Format.h"
#include "base/rdr/InStream.h"
#include "base/rdr/OutStream.h"
#include "testsupport/ForkedChild.h"
#include "testsupport/SocketPeer.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <regex>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace os {
namespace {

using test::ListeningSocket;
using testsupport::ForkedChild;

const std::string uid = std::to_string(::getuid());

std::string randomChallenge(unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(32, '\0');
  for (char& byte : bytes)
    byte = char(random());
  return bytes;
}

std::string hexText(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char byte : bytes)
    text += {digits[byte >> 4], digits[byte & 15]};
  return text;
}

std::string digestOf(const std::string& bytes) {
  crypto::Sha256::Digest digest = crypto::Sha256::digest(bytes.data(), bytes.size());
  return std::string(digest.begin(), digest.end());
}

std::string readFile(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

// The launcher's side: accepts one connection on its own thread, sends what
// it was given and closes it.
class FakeLauncher {
public:
  FakeLauncher(ListeningSocket& listener, std::string toSend)
    : thread_([&listener, toSend] {
        io::UniqueFd connection = listener.accept();
        // The agent may have gone already (it had nothing to read): a write
        // would then kill the test with SIGPIPE.
        if (connection)
          ::send(connection.get(), toSend.data(), toSend.size(), MSG_NOSIGNAL);
      }) {}
  ~FakeLauncher() { thread_.join(); }

private:
  std::thread thread_;
};

class LaunchedProcessPipeTest : public ::testing::Test {
protected:
  // What connect() made of `args` in a forked child, so that the standard
  // error it redirects and the descriptors it takes over stay there: the
  // failure's text, or "<cursor> <name> <the first `toRead` bytes in hex>
  // fd<descriptor>" with " cloexec" when that is close-on-exec and
  // " stderr-cloexec" when standard error is. What the child wrote to the
  // standard error the launcher gave it goes to `launcherStdErr`.
  std::string connect(const std::vector<std::string>& args, int requiredExtra = 0,
                      size_t toRead = 0, const std::function<void()>& before = {}) {
    ForkedChild child([&](int up, int) {
      if (before)
        before();
      std::vector<const char*> argv;
      for (const std::string& arg : args)
        argv.push_back(arg.c_str());
      int cursor = 0;
      try {
        std::unique_ptr<io::Io> io =
          LaunchedProcessPipe(stdErrPath, debugPath)
            .connect(int(argv.size()), argv.data(), cursor, requiredExtra);
        std::string bytes(toRead, '\0');
        io->inStream().readBytes(bytes.data(), toRead);
        int fd = dynamic_cast<io::FdIo&>(*io).getFd();
        ForkedChild::sendLine(
          up, plat::format("%d %s %s fd%d%s%s", cursor, io->name().c_str(), hexText(bytes).c_str(),
                           fd, ::fcntl(fd, F_GETFD) & FD_CLOEXEC ? " cloexec" : "",
                           ::fcntl(2, F_GETFD) & FD_CLOEXEC ? " stderr-cloexec" : ""));
      } catch (const plat::Exception& e) {
        ForkedChild::sendLine(up, e.str());
      }
      return 0;
    });
    std::string line = child.readLine();
    EXPECT_EQ(child.wait(), 0);
    launcherStdErr = child.errorOutput();
    return line;
  }

  std::string launcherStdErr;
  testsupport::TempDir dir;
  std::string stdErrPath = dir.path() + "/stderr.log";
  std::string debugPath = dir.path() + "/lppDebug.log";
  std::string socketPath = dir.path() + "/launcher.sock";
};

TEST_F(LaunchedProcessPipeTest, ChallengeWithItsDigestConnectsAndIsNotPartOfTheChannel) {
  const std::string challenge = randomChallenge(1);
  std::string changed = challenge;
  changed[31] = char(changed[31] ^ 0x80);
  // What the launcher sends, whether the agent gets the challenge's digest
  // with "-hash", the first bytes it reads, its failure ("" for none).
  const std::tuple<std::string, bool, std::string, std::string> cases[] = {
    {challenge + "first frame", true, "first frame", ""},
    {challenge + "first frame", false, challenge.substr(0, 11), ""},
    {changed, true, "", "Bad hash"},
    {challenge.substr(0, 31), true, "", "End of IO stream"},
  };
  for (const auto& [sent, hash, read, failure] : cases) {
    SCOPED_TRACE(testing::Message() << (hash ? "-hash " : "no hash ") << failure);
    std::filesystem::remove(socketPath);
    std::filesystem::remove(stdErrPath);
    ListeningSocket listener(socketPath);
    FakeLauncher launcher(listener, sent);
    std::vector<std::string> args{socketPath, "Param=1"};
    if (hash)
      args.insert(args.begin(), {"-hash", hexText(digestOf(challenge))});
    std::string connected = connect(args, 0, read.size());
    if (failure.empty()) {
      EXPECT_TRUE(connected.starts_with((hash ? "3" : "1") + std::string(" <unix-client-") +
                                        socketPath + "-uid-" + uid + "> " + hexText(read)));
      EXPECT_TRUE(connected.ends_with(" cloexec")) << connected;
    } else {
      EXPECT_EQ(connected, failure);
    }
    std::string logged = readFile(stdErrPath);
    std::regex lines("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\dZ: connecting to '" + socketPath +
                     "'\n" + (failure.empty() ? "" : failure + "\n"));
    EXPECT_TRUE(std::regex_match(logged, lines)) << logged;
  }
}

TEST_F(LaunchedProcessPipeTest, InheritedDescriptorIsUsedWithoutHashCheckOrRedirection) {
  // Were the challenge checked, these bytes would fail it (or, consumed,
  // be missing from the stream below).
  const std::string sent = std::string(32, 'w') + "ping";
  // The arguments, the extra arguments required, the descriptor they name,
  // where they end.
  const std::tuple<std::vector<std::string>, int, int, int> cases[] = {
    {{"-hash", hexText(digestOf(randomChallenge(4))), "60", "Param=1"}, 1, 60, 3},
    // Standard input; it ends the arguments, even without the required ones.
    {{"-dummy", "-hash", "zz", "-x"}, 5, STDIN_FILENO, 1},
  };
  for (const auto& [args, requiredExtra, fd, cursor] : cases) {
    SCOPED_TRACE(fd);
    testsupport::SocketPeer launcher;
    launcher.send(sent.data(), sent.size());
    EXPECT_EQ(connect(args, requiredExtra, sent.size(),
                      [&, fd = fd] { ::dup2(launcher.ours(), fd); }),
              plat::format("%d <unix-server-anon-uid-%s> %s fd%d cloexec", cursor, uid.c_str(),
                           hexText(sent).c_str(), fd));
  }
  for (const char* name : {"2147483647", "2147483648", "99999999999999999999"})
    EXPECT_TRUE(connect({name}).ends_with("Bad file descriptor (9)")) << name;
  EXPECT_FALSE(std::filesystem::exists(stdErrPath));
}

TEST_F(LaunchedProcessPipeTest, BadCommandLinesAreReportedOnTheLaunchersStandardError) {
  const std::string notDirectly = "This program is not intended to be run directly.";
  const std::string hashBad = "-hash argument bad or missing";
  const std::string noName = "Bad command-line: got <null> instead of pipe name";
  const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
    {{"-hash", std::string(63, 'a'), "7"}, 0, hashBad},
    {{"-hash", "0g", "7"}, 0, hashBad},
    {{"-lppDebug", "-hash"}, 0, hashBad},
    {{"-x"}, 0, "Bad command-line: got -x instead of pipe name"},
    {{}, 0, noName},
    {{"-hash", std::string(64, 'A')}, 0, noName},
    {{"-lppDebug", "-dummy", "7"}, 0, "Bad command-line: got -dummy instead of pipe name"},
    {{"7"}, 1, notDirectly},
  };
  for (const auto& [args, requiredExtra, text] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(connect(args, requiredExtra), text);
    // Nothing else can report it: the log only reaches the launcher through
    // the connection that was not made.
    EXPECT_TRUE(launcherStdErr.ends_with(text + "\n")) << launcherStdErr;
  }
  // With the extra arguments present the next step runs: the connection.
  EXPECT_TRUE(connect({dir.path() + "/absent.sock", "one"}, 1).starts_with("connect: "));
}

// Used to go wrong: the debug log was opened following symbolic links, so a
// root agent appended to whatever file another user pointed the name at; and
// it was created readable and writable by everyone (0666 less the umask).
TEST_F(LaunchedProcessPipeTest, DebugLogIsAnOwnerOnlyFileOfThisUserAndNothingPlanted) {
  std::string victim = dir.path() + "/victim";
  std::ofstream(victim) << "untouched";
  ListeningSocket listener(socketPath);
  // Plants something at the debug log's name; the failure expected ("" when
  // the connection is made).
  const std::pair<std::function<int()>, const char*> planted[] = {
    {[&] { return ::symlink(victim.c_str(), debugPath.c_str()); }, "open("},
    {[&] { return ::link(victim.c_str(), debugPath.c_str()); }, "Standard error not redirected: "},
    // Without a reader, opening a FIFO for writing would wait for ever.
    {[&] { return ::mkfifo(debugPath.c_str(), 0600); }, "open("},
    {[&] { return int(!(std::ofstream(debugPath) << "earlier run\n")); }, ""},
    {[] { return 0; }, ""},
  };
  for (const auto& [plant, failure] : planted) {
    SCOPED_TRACE(failure);
    std::filesystem::remove(debugPath);
    ASSERT_EQ(plant(), 0);
    bool existed = std::filesystem::exists(std::filesystem::symlink_status(debugPath));
    if (*failure) {
      EXPECT_TRUE(connect({"-lppDebug", socketPath}).starts_with(failure));
      EXPECT_FALSE(listener.accept(0)) << "no connection is tried";
      continue;
    }
    FakeLauncher launcher(listener, "");
    // Only the descriptor open() returned is close-on-exec: programs the
    // agent starts still share its standard error.
    EXPECT_FALSE(
      connect({"-lppDebug", socketPath}, 0, 0, [] { ::umask(0); }).ends_with("stderr-cloexec"));
    std::string logged = readFile(debugPath);
    EXPECT_EQ(logged.starts_with("earlier run\n"), existed);
    EXPECT_NE(logged.find("connecting to '" + socketPath + "'"), std::string::npos);
    struct stat status {};
    ASSERT_EQ(::stat(debugPath.c_str(), &status), 0);
    EXPECT_TRUE(existed || (status.st_mode & 07777) == 0600u) << std::oct << status.st_mode;
  }
  EXPECT_EQ(readFile(victim), "untouched");
  EXPECT_FALSE(std::filesystem::exists(stdErrPath));
}

TEST(LaunchedProcessPipeWrapTest, InheritedDescriptorKinds) {
  // A pipe: a plain descriptor connection.
  int pipeEnds[2];
  ASSERT_EQ(::pipe(pipeEnds), 0);
  io::UniqueFd writeEnd(pipeEnds[1]);
  std::unique_ptr<io::Io> pipeIo = LaunchedProcessPipe::wrapInheritedFd(pipeEnds[0]);
  EXPECT_EQ(typeid(*pipeIo), typeid(io::FdIo));
  EXPECT_NE(::fcntl(pipeEnds[0], F_GETFD) & FD_CLOEXEC, 0);

  // Internet sockets: only a stream one is a TCP connection.
  EXPECT_EQ(typeid(*LaunchedProcessPipe::wrapInheritedFd(::socket(AF_INET, SOCK_DGRAM, 0))),
            typeid(io::FdIo));
  EXPECT_EQ(typeid(*LaunchedProcessPipe::wrapInheritedFd(::socket(AF_INET, SOCK_STREAM, 0))),
            typeid(io::TcpIo));

  // A closed number.
  int closed = ::dup(writeEnd.get());
  ::close(closed);
  EXPECT_THROW(LaunchedProcessPipe::wrapInheritedFd(closed), plat::SystemException);
}

TEST(LaunchedProcessPipeForkTest, ContinuesInAGrandchildOutsideTheCaller) {
  int ends[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
  io::UniqueFd reportEnd(ends[0]);
  // What the process that carries on after "-fork" saw of itself: pid,
  // parent, session.
  pid_t report[3];
  {
    io::UniqueFd agentEnd(ends[1]);
    std::string name = std::to_string(agentEnd.get());
    ForkedChild harness([&](int, int) {
      const char* argv[] = {"-fork", name.c_str()};
      int cursor = 0;
      std::unique_ptr<io::Io> io = LaunchedProcessPipe().connect(2, argv, cursor);
      // Only the process that continues after the fork gets here.
      pid_t self[3] = {::getpid(), ::getppid(), ::getsid(0)};
      io->outStream().writeBytes(self, sizeof self);
      io->outStream().flush();
      return cursor == 2 ? 0 : 2;
    });
    ASSERT_EQ(harness.wait(), 0) << harness.errorOutput();
    agentEnd.reset();
    ASSERT_EQ(::recv(reportEnd.get(), report, sizeof report, MSG_WAITALL), ssize_t(sizeof report));
    EXPECT_NE(report[0], harness.pid());
    EXPECT_NE(report[1], harness.pid());
  }
  EXPECT_NE(report[1], ::getpid());
  // In a session of its own that it does not lead, so it can never regain
  // a controlling terminal.
  EXPECT_NE(report[2], ::getsid(0));
  EXPECT_NE(report[2], report[0]);
}

} // namespace
} // namespace os
