#include "PipeTestSupport.h"

#include "base/crypto/mbedtls/Sha256.h"
#include "base/io/FdIo.h"
#include "base/io/TcpIo.h"
#include "base/os/LaunchedProcessPipe.h"
#include "base/os/UnixIo.h"
#include "base/plat/Exception.h"
#include "base/rdr/EndOfStream.h"
#include "base/rdr/InStream.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <netinet/in.h>
#include <random>
#include <regex>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace os {
namespace {

using test::ListeningSocket;
using test::SavedFd;

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

// The launcher's side: accepts one connection on its own thread, sends what
// it was given, then either keeps the connection open until the test ends
// or closes it.
class FakeLauncher {
public:
  FakeLauncher(ListeningSocket& listener, std::string toSend, bool closeAfter = false)
    : thread_([this, &listener, toSend, closeAfter] {
        io::UniqueFd connection = listener.accept();
        if (!connection)
          return;
        test::writeAll(connection.get(), toSend);
        if (!closeAfter)
          connection_ = std::move(connection);
      }) {}
  ~FakeLauncher() { thread_.join(); }

private:
  io::UniqueFd connection_;
  std::thread thread_;
};

class LaunchedProcessPipeTest : public ::testing::Test {
protected:
  // Standard error is redirected by connect(); the test's own comes back
  // when the fixture ends.
  SavedFd savedStdErr{STDERR_FILENO};
  testsupport::TempDir dir;
  // What the launcher would see on the standard error it gave us.
  std::string launcherStdErr = dir.path() + "/launcher-stderr";
  std::string stdErrPath = dir.path() + "/stderr.log";
  std::string debugPath = dir.path() + "/lppDebug.log";
  std::string socketPath = dir.path() + "/launcher.sock";

  void SetUp() override {
    int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC;
    io::UniqueFd fd(::open(launcherStdErr.c_str(), flags, 0600));
    ASSERT_TRUE(fd);
    ASSERT_EQ(::dup2(fd.get(), STDERR_FILENO), STDERR_FILENO);
  }

  std::unique_ptr<io::Io> connect(std::vector<std::string> args, int requiredExtra = 0,
                                  int* cursorOut = nullptr) {
    std::vector<const char*> argv;
    for (const std::string& arg : args)
      argv.push_back(arg.c_str());
    int cursor = 0;
    LaunchedProcessPipe pipe(stdErrPath, debugPath);
    std::unique_ptr<io::Io> io = pipe.connect(int(argv.size()), argv.data(), cursor, requiredExtra);
    if (cursorOut)
      *cursorOut = cursor;
    return io;
  }

  // The text of the exception connect() throws, or "(none)".
  std::string failureOf(std::vector<std::string> args, int requiredExtra = 0) {
    try {
      connect(std::move(args), requiredExtra);
    } catch (const plat::Exception& e) {
      return e.str();
    }
    return "(none)";
  }

  static std::string readFrom(io::Io& io, size_t length) {
    std::string bytes(length, '\0');
    io.inStream().readBytes(bytes.data(), length);
    return bytes;
  }
};

TEST_F(LaunchedProcessPipeTest, ChallengeWithItsDigestConnectsAndIsNotPartOfTheChannel) {
  for (bool hash : {true, false}) {
    SCOPED_TRACE(hash ? "-hash" : "no hash");
    std::filesystem::remove(socketPath);
    std::filesystem::remove(stdErrPath);
    ListeningSocket listener(socketPath);
    std::string challenge = randomChallenge(1);
    FakeLauncher launcher(listener, challenge + "first frame");
    std::vector<std::string> args{socketPath, "Param=1"};
    if (hash)
      args.insert(args.begin(), {"-hash", hexText(digestOf(challenge))});
    int cursor = -1;
    std::unique_ptr<io::Io> io = connect(args, 0, &cursor);
    EXPECT_EQ(cursor, hash ? 3 : 1);
    EXPECT_EQ(io->name(), "<unix-client-" + socketPath + "-uid-" + uid + ">");
    EXPECT_EQ(readFrom(*io, 11), hash ? "first frame" : challenge.substr(0, 11));

    std::string logged = test::readFile(stdErrPath);
    std::regex line("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\dZ: connecting to '" + socketPath +
                    "'\n");
    EXPECT_TRUE(std::regex_match(logged, line)) << logged;
  }
}

TEST_F(LaunchedProcessPipeTest, AnyDifferenceIsBadHashAndACutChallengeTheEndOfTheStream) {
  std::string challenge = randomChallenge(2);
  std::string digest = digestOf(challenge);
  auto flipped = [](std::string bytes, size_t at, uint8_t mask) {
    bytes[at] = char(bytes[at] ^ mask);
    return bytes;
  };
  // Sent, the -hash argument, the failure.
  const std::tuple<std::string, std::string, const char*> cases[] = {
    {flipped(challenge, 31, 0x80), hexText(digest), "Bad hash"},
    {challenge, hexText(flipped(digest, 0, 0x80)), "Bad hash"},
    {challenge, hexText(digest.substr(0, 31)), "Bad hash"},
    {challenge, hexText(digest) + "00", "Bad hash"},
    {challenge.substr(0, 31), hexText(digest), "End of IO stream"},
  };
  for (const auto& [sent, hash, failure] : cases) {
    SCOPED_TRACE(hash);
    std::filesystem::remove(socketPath);
    std::filesystem::remove(stdErrPath);
    ListeningSocket listener(socketPath);
    FakeLauncher launcher(listener, sent, true);
    EXPECT_EQ(failureOf({"-hash", hash, socketPath}), failure);
    EXPECT_TRUE(test::readFile(stdErrPath).ends_with("'\n" + std::string(failure) + "\n"));
  }
}

TEST_F(LaunchedProcessPipeTest, DescriptorNumberIsUsedWithoutHashCheckOrRedirection) {
  int ends[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
  io::UniqueFd launcherEnd(ends[0]);
  SavedFd slot(7);
  ASSERT_EQ(::dup2(ends[1], 7), 7);
  ::close(ends[1]);
  // Were the challenge checked, these bytes would fail it (or, consumed,
  // be missing from the stream below).
  std::string wrong(32, 'w');
  test::writeAll(launcherEnd.get(), wrong + "ping");

  int cursor = -1;
  std::unique_ptr<io::Io> io =
    connect({"-hash", hexText(digestOf(randomChallenge(4))), "7", "Param=1"}, 1, &cursor);
  EXPECT_EQ(cursor, 3);
  EXPECT_EQ(dynamic_cast<io::FdIo&>(*io).getFd(), 7);
  EXPECT_NE(::fcntl(7, F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_EQ(io->name(), "<unix-server-anon-uid-" + uid + ">");
  EXPECT_EQ(readFrom(*io, 36), wrong + "ping");

  for (const char* name : {"2147483647", "2147483648", "99999999999999999999"}) {
    try {
      connect({name});
      ADD_FAILURE() << "connected to " << name;
    } catch (const plat::SystemException& e) {
      EXPECT_EQ(e.err(), EBADF) << name;
    }
  }
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
    {{"-lppDebug", "-fork"}, 0, noName},
    {{"-hash", std::string(64, 'A')}, 0, noName},
    {{"-lppDebug", "-dummy", "7"}, 0, "Bad command-line: got -dummy instead of pipe name"},
    {{"7"}, 1, notDirectly},
    {{"7", "one"}, 2, notDirectly},
  };
  for (const auto& [args, requiredExtra, text] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(failureOf(args, requiredExtra), text);
    // Nothing else can report it: the log only reaches the launcher through
    // the connection that was not made.
    EXPECT_TRUE(test::readFile(launcherStdErr).ends_with(text + "\n"));
  }
  // With the extra arguments present the next step runs: the connection.
  EXPECT_TRUE(failureOf({dir.path() + "/absent.sock", "one"}, 1).starts_with("connect: "));
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
      EXPECT_TRUE(failureOf({"-lppDebug", socketPath}).starts_with(failure));
      EXPECT_FALSE(listener.hasPending());
      continue;
    }
    FakeLauncher launcher(listener, "");
    mode_t previous = ::umask(0);
    std::unique_ptr<io::Io> io = connect({"-lppDebug", socketPath});
    ::umask(previous);
    std::string logged = test::readFile(debugPath);
    EXPECT_EQ(logged.starts_with("earlier run\n"), existed);
    EXPECT_NE(logged.find("connecting to '" + socketPath + "'"), std::string::npos);
    struct stat status {};
    ASSERT_EQ(::stat(debugPath.c_str(), &status), 0);
    if (!existed) {
      EXPECT_EQ(status.st_mode & 07777, 0600u);
    }
    // Only the descriptor open() returned is close-on-exec: programs the
    // agent starts still share its standard error.
    EXPECT_EQ(::fcntl(STDERR_FILENO, F_GETFD) & FD_CLOEXEC, 0);
  }
  EXPECT_EQ(test::readFile(victim), "untouched");
  EXPECT_FALSE(std::filesystem::exists(stdErrPath));
}

TEST_F(LaunchedProcessPipeTest, DummyIsStandardInputAndEndsTheArguments) {
  int ends[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
  io::UniqueFd launcherEnd(ends[0]);
  SavedFd savedStdIn(STDIN_FILENO);
  ASSERT_EQ(::dup2(ends[1], STDIN_FILENO), STDIN_FILENO);
  ::close(ends[1]);

  int cursor = -1;
  std::unique_ptr<io::Io> io = connect({"-dummy", "-hash", "zz", "-x"}, 5, &cursor);
  EXPECT_EQ(cursor, 1);
  EXPECT_EQ(dynamic_cast<io::FdIo&>(*io).getFd(), STDIN_FILENO);
  test::writeAll(launcherEnd.get(), "in");
  EXPECT_EQ(readFrom(*io, 2), "in");
}

TEST(LaunchedProcessPipeWrapTest, InheritedDescriptorKinds) {
  // A pipe: a plain descriptor connection, not a secure transport.
  int pipeEnds[2];
  ASSERT_EQ(::pipe(pipeEnds), 0);
  io::UniqueFd writeEnd(pipeEnds[1]);
  std::unique_ptr<io::Io> pipeIo = LaunchedProcessPipe::wrapInheritedFd(pipeEnds[0]);
  EXPECT_EQ(typeid(*pipeIo), typeid(io::FdIo));
  EXPECT_EQ(pipeIo->name(), "<fd" + std::to_string(pipeEnds[0]) + ">");
  EXPECT_NE(::fcntl(pipeEnds[0], F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_FALSE(pipeIo->hasProperty("secureTransport"));

  // A datagram socket on the loopback: not a stream, so plain as well.
  int datagram = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(datagram, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
  EXPECT_EQ(typeid(*LaunchedProcessPipe::wrapInheritedFd(datagram)), typeid(io::FdIo));

  // A TCP connection on the loopback.
  io::UniqueFd listener(::socket(AF_INET, SOCK_STREAM, 0));
  socklen_t length = sizeof any;
  ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
  ASSERT_EQ(::listen(listener.get(), 1), 0);
  ASSERT_EQ(::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&any), &length), 0);
  int tcp = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(::connect(tcp, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
  std::unique_ptr<io::Io> tcpIo = LaunchedProcessPipe::wrapInheritedFd(tcp);
  EXPECT_EQ(typeid(*tcpIo), typeid(io::TcpIo));
  EXPECT_EQ(tcpIo->name(), "<tcp-127.0.0.1:" + std::to_string(ntohs(any.sin_port)) + ">");

  // A closed number.
  int closed = ::dup(writeEnd.get());
  ::close(closed);
  EXPECT_THROW(LaunchedProcessPipe::wrapInheritedFd(closed), plat::SystemException);
}

TEST(LaunchedProcessPipeForkTest, ContinuesInAGrandchildOutsideTheCaller) {
  // What the process that carries on after "-fork" saw of itself.
  struct ForkReport {
    pid_t pid;
    pid_t parent;
    pid_t session;
  };
  int ends[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
  io::UniqueFd reportEnd(ends[0]);
  std::string name = std::to_string(ends[1]);
  pid_t harness = ::fork();
  ASSERT_GE(harness, 0);
  if (harness == 0) {
    // Only the process that continues after the fork reaches the report.
    try {
      const char* argv[] = {"-fork", name.c_str()};
      int cursor = 0;
      std::unique_ptr<io::Io> io = LaunchedProcessPipe().connect(2, argv, cursor);
      ForkReport report{::getpid(), ::getppid(), ::getsid(0)};
      io->outStream().writeBytes(&report, sizeof report);
      io->outStream().flush();
      ::_exit(cursor == 2 ? 0 : 2);
    } catch (...) {
      ::_exit(3);
    }
  }
  ::close(ends[1]);
  int status = 0;
  ASSERT_EQ(::waitpid(harness, &status, 0), harness);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  std::string bytes = test::readExactly(reportEnd.get(), sizeof(ForkReport));
  ASSERT_EQ(bytes.size(), sizeof(ForkReport));
  ForkReport report;
  std::memcpy(&report, bytes.data(), sizeof report);
  EXPECT_NE(report.pid, harness);
  EXPECT_NE(report.parent, harness);
  EXPECT_NE(report.parent, ::getpid());
  // In a session of its own that it does not lead, so it can never regain
  // a controlling terminal.
  EXPECT_NE(report.session, ::getsid(0));
  EXPECT_NE(report.session, report.pid);
}

} // namespace
} // namespace os
