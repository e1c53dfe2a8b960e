#include "PipeTestSupport.h"

#include "base/crypto/mbedtls/Sha256.h"
#include "base/io/FdIo.h"
#include "base/io/TcpIo.h"
#include "base/os/LaunchedProcessPipe.h"
#include "base/os/UnixIo.h"
#include "base/plat/Exception.h"
#include "base/rdr/EndOfStream.h"
#include "base/rdr/InStream.h"

#include <gtest/gtest.h>

#include <fcntl.h>
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
using test::TempDir;

using Bytes = std::vector<uint8_t>;

Bytes randomChallenge(unsigned seed) {
  std::mt19937 random(seed);
  Bytes bytes(32);
  for (uint8_t& byte : bytes)
    byte = uint8_t(random());
  return bytes;
}

std::string hexText(const uint8_t* bytes, size_t length) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < length; i++) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 15];
  }
  return text;
}

std::string digestHex(const Bytes& challenge) {
  crypto::Sha256::Digest digest = crypto::Sha256::digest(challenge.data(), challenge.size());
  return hexText(digest.data(), digest.size());
}

std::string uidText() {
  return std::to_string(::getuid());
}

// The launcher's side: accepts one connection on its own thread, sends what
// it was given, then either keeps the connection open until the test ends
// or closes it.
class FakeLauncher {
public:
  FakeLauncher(ListeningSocket& listener, std::string toSend, bool closeAfter)
    : thread_([this, &listener, toSend, closeAfter] {
        io::UniqueFd connection = listener.accept();
        if (!connection)
          return;
        test::writeAll(connection.get(), toSend.data(), toSend.size());
        if (!closeAfter)
          connection_ = std::move(connection);
      }) {}
  ~FakeLauncher() { thread_.join(); }

private:
  io::UniqueFd connection_;
  std::thread thread_;
};

std::string asText(const Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

class LaunchedProcessPipeTest : public ::testing::Test {
protected:
  // Standard error is redirected by connect(); the test's own comes back
  // when the fixture ends.
  SavedFd savedStdErr{STDERR_FILENO};
  TempDir dir;
  // What the launcher would see on the standard error it gave us.
  std::string launcherStdErr = dir.file("launcher-stderr");
  std::string stdErrPath = dir.file("stderr.log");
  std::string debugPath = dir.file("lppDebug.log");
  std::string socketPath = dir.file("launcher.sock");

  void SetUp() override {
    io::UniqueFd fd(::open(launcherStdErr.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
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
};

TEST_F(LaunchedProcessPipeTest, DigestOfTheChallengeConnects) {
  ListeningSocket listener(socketPath);
  Bytes challenge = randomChallenge(1);
  FakeLauncher launcher(listener, asText(challenge) + "first frame", false);

  int cursor = -1;
  std::unique_ptr<io::Io> io =
    connect({"-hash", digestHex(challenge), socketPath, "Param=1"}, 0, &cursor);
  ASSERT_TRUE(io);
  EXPECT_EQ(cursor, 3);
  EXPECT_EQ(io->name(), "<unix-client-" + socketPath + "-uid-" + uidText() + ">");
  // The challenge is gone: the channel starts with what followed it.
  char frame[11];
  io->inStream().readBytes(frame, sizeof frame);
  EXPECT_EQ(std::string(frame, sizeof frame), "first frame");
  EXPECT_EQ(io->inStream().checkpointPos(), 32u);

  std::string logged = test::readFile(stdErrPath);
  std::regex line("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\dZ: connecting to '" + socketPath + "'\n");
  EXPECT_TRUE(std::regex_match(logged, line)) << logged;
}

TEST_F(LaunchedProcessPipeTest, WithoutHashNothingIsRead) {
  ListeningSocket listener(socketPath);
  FakeLauncher launcher(listener, "0123456789", false);
  std::unique_ptr<io::Io> io = connect({socketPath});
  char first[10];
  io->inStream().readBytes(first, sizeof first);
  EXPECT_EQ(std::string(first, sizeof first), "0123456789");
}

TEST_F(LaunchedProcessPipeTest, AnyDifferenceIsBadHash) {
  Bytes challenge = randomChallenge(2);
  crypto::Sha256::Digest digest = crypto::Sha256::digest(challenge.data(), challenge.size());
  auto flipped = [](Bytes bytes, size_t at, uint8_t mask) {
    bytes[at] ^= mask;
    return bytes;
  };
  Bytes digestBytes(digest.begin(), digest.end());
  struct Case {
    const char* name;
    Bytes sent;
    std::string hash;
  };
  std::vector<Case> cases = {
    {"challenge first bit", flipped(challenge, 0, 0x01), digestHex(challenge)},
    {"challenge last bit", flipped(challenge, 31, 0x80), digestHex(challenge)},
    {"expected first byte", challenge, hexText(flipped(digestBytes, 0, 0x80).data(), 32)},
    {"expected last byte", challenge, hexText(flipped(digestBytes, 31, 0x01).data(), 32)},
    {"expected one byte short", challenge, hexText(digestBytes.data(), 31)},
    {"expected one byte long", challenge, digestHex(challenge) + "00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ::unlink(socketPath.c_str());
    ::unlink(stdErrPath.c_str());
    ListeningSocket listener(socketPath);
    FakeLauncher launcher(listener, asText(c.sent), false);
    EXPECT_EQ(failureOf({"-hash", c.hash, socketPath}), "Bad hash");
    std::string logged = test::readFile(stdErrPath);
    EXPECT_TRUE(logged.ends_with("'\nBad hash\n")) << logged;
  }
}

TEST_F(LaunchedProcessPipeTest, LauncherClosingBeforeTheChallengeEndsIsEndOfStream) {
  ListeningSocket listener(socketPath);
  FakeLauncher launcher(listener, std::string(31, 'x'), true);
  Bytes challenge = randomChallenge(3);
  EXPECT_THROW(connect({"-hash", digestHex(challenge), socketPath}), rdr::EndOfStream);
  EXPECT_TRUE(test::readFile(stdErrPath).ends_with("End of IO stream\n"));
}

TEST_F(LaunchedProcessPipeTest, DescriptorNumberIsUsedWithoutHashCheck) {
  int ends[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
  io::UniqueFd launcherEnd(ends[0]);
  SavedFd slot(7);
  ASSERT_EQ(::dup2(ends[1], 7), 7);
  ::close(ends[1]);
  // Were the challenge checked, these bytes would fail it (or, consumed,
  // be missing from the stream below).
  std::string wrong(32, 'w');
  test::writeAll(launcherEnd.get(), (wrong + "ping").data(), 36);

  int cursor = -1;
  std::unique_ptr<io::Io> io =
    connect({"-hash", digestHex(randomChallenge(4)), "7", "Param=1"}, 1, &cursor);
  EXPECT_EQ(cursor, 3);
  auto& fdIo = dynamic_cast<io::FdIo&>(*io);
  EXPECT_EQ(fdIo.getFd(), 7);
  EXPECT_NE(::fcntl(7, F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_EQ(io->name(), "<unix-server-anon-uid-" + uidText() + ">");
  EXPECT_TRUE(io->hasProperty("secureTransport"));
  char received[36];
  io->inStream().readBytes(received, sizeof received);
  EXPECT_EQ(std::string(received, sizeof received), wrong + "ping");
  // No redirection and no connecting line for an inherited descriptor.
  EXPECT_FALSE(std::filesystem::exists(stdErrPath));
}

TEST_F(LaunchedProcessPipeTest, DescriptorNumbersThatCannotBeOpenAreBadDescriptors) {
  for (const char* name : {"2147483647", "2147483648", "99999999999999999999"}) {
    SCOPED_TRACE(name);
    try {
      connect({name});
      ADD_FAILURE() << "connected";
    } catch (const plat::SystemException& e) {
      EXPECT_EQ(e.err(), EBADF);
    }
  }
  EXPECT_FALSE(std::filesystem::exists(stdErrPath));
}

TEST_F(LaunchedProcessPipeTest, HashArgumentMustBeHexPairs) {
  for (const auto& args : std::vector<std::vector<std::string>>{
         {"-hash", "abc", "7"},
         {"-hash", std::string(63, 'a'), "7"},
         {"-hash", "zz", "7"},
         {"-hash", "0g", "7"},
         {"-hash", "", "7"},
         {"-hash"},
         {"-lppDebug", "-hash"}}) {
    SCOPED_TRACE(args.back());
    EXPECT_EQ(failureOf(args), "-hash argument bad or missing");
  }
}

TEST_F(LaunchedProcessPipeTest, PipeNameMustBeThereAndNotAnOption) {
  struct Case {
    std::vector<std::string> args;
    const char* text;
  };
  for (const Case& c : std::vector<Case>{
         {{"-x"}, "Bad command-line: got -x instead of pipe name"},
         {{}, "Bad command-line: got <null> instead of pipe name"},
         {{"-lppDebug", "-fork"}, "Bad command-line: got <null> instead of pipe name"},
         {{"-hash", std::string(64, 'A')}, "Bad command-line: got <null> instead of pipe name"},
         {{"-lppDebug", "-dummy", "7"}, "Bad command-line: got -dummy instead of pipe name"},
         {{"-LPPDEBUG", "7"}, "Bad command-line: got -LPPDEBUG instead of pipe name"}}) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(failureOf(c.args), c.text);
    // Nothing else can report it: the log only reaches the launcher through
    // the connection that was not made.
    EXPECT_TRUE(test::readFile(launcherStdErr).ends_with(std::string(c.text) + "\n"));
  }
}

TEST_F(LaunchedProcessPipeTest, RequiredExtraArgumentsMustFollow) {
  EXPECT_EQ(failureOf({"7"}, 1), "This program is not intended to be run directly.");
  EXPECT_EQ(failureOf({"7", "one"}, 2), "This program is not intended to be run directly.");
  // With them present the next step runs: here, the connection attempt.
  std::string text = failureOf({dir.file("absent.sock"), "one"}, 1);
  EXPECT_EQ(text.rfind("connect: ", 0), 0u) << text;
}

TEST_F(LaunchedProcessPipeTest, OverlongSocketPathIsNameTooLong) {
  std::string path = dir.path() + "/" + std::string(200, 'p');
  try {
    connect({path});
    ADD_FAILURE() << "connected";
  } catch (const plat::SystemException& e) {
    EXPECT_EQ(e.err(), ENAMETOOLONG);
    EXPECT_EQ(std::string(e.str()).rfind("UnixIo: ", 0), 0u) << e.str();
  }
}

// Used to go wrong: the debug log was opened following symbolic links, so a
// root agent appended to whatever file another user pointed the name at.
TEST_F(LaunchedProcessPipeTest, DebugLogThroughASymbolicLinkIsRefused) {
  std::string victim = dir.file("victim");
  { std::ofstream(victim) << "untouched"; }
  ASSERT_EQ(::symlink(victim.c_str(), debugPath.c_str()), 0);
  ListeningSocket listener(socketPath);

  try {
    connect({"-lppDebug", socketPath});
    ADD_FAILURE() << "connected";
  } catch (const plat::SystemException& e) {
    EXPECT_EQ(e.err(), ELOOP);
  }
  EXPECT_EQ(test::readFile(victim), "untouched");
  EXPECT_FALSE(listener.hasPending());
  EXPECT_NE(test::readFile(launcherStdErr).find("Too many levels of symbolic links"), std::string::npos);
}

// Used to go wrong: the debug log was created readable and writable by
// everyone (0666 less the umask).
TEST_F(LaunchedProcessPipeTest, DebugLogIsCreatedOwnerOnly) {
  ListeningSocket listener(socketPath);
  FakeLauncher launcher(listener, "", false);
  mode_t previous = ::umask(0);
  std::unique_ptr<io::Io> io;
  try {
    io = connect({"-lppDebug", socketPath});
  } catch (...) {
    ::umask(previous);
    throw;
  }
  ::umask(previous);
  struct stat status {};
  ASSERT_EQ(::stat(debugPath.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0600u);
  EXPECT_NE(test::readFile(debugPath).find("connecting to '" + socketPath + "'"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(stdErrPath));
  // Only the descriptor open() returned is close-on-exec: programs the
  // agent starts still share its standard error.
  EXPECT_EQ(::fcntl(STDERR_FILENO, F_GETFD) & FD_CLOEXEC, 0);
}

TEST_F(LaunchedProcessPipeTest, DebugLogAppendsToOwnExistingFile) {
  { std::ofstream(debugPath) << "earlier run\n"; }
  ListeningSocket listener(socketPath);
  FakeLauncher launcher(listener, "", false);
  connect({"-lppDebug", socketPath});
  std::string logged = test::readFile(debugPath);
  EXPECT_EQ(logged.rfind("earlier run\n", 0), 0u);
  EXPECT_NE(logged.find("connecting to"), std::string::npos);
}

TEST_F(LaunchedProcessPipeTest, DebugLogPlantedAsHardLinkOrFifoIsRefused) {
  std::string victim = dir.file("victim");
  { std::ofstream(victim) << "untouched"; }
  ListeningSocket listener(socketPath);

  ASSERT_EQ(::link(victim.c_str(), debugPath.c_str()), 0);
  std::string text = failureOf({"-lppDebug", socketPath});
  EXPECT_NE(text.find("not a file of this user"), std::string::npos) << text;
  EXPECT_EQ(test::readFile(victim), "untouched");

  ASSERT_EQ(::unlink(debugPath.c_str()), 0);
  ASSERT_EQ(::mkfifo(debugPath.c_str(), 0600), 0);
  // Without a reader, opening a FIFO for writing would wait for ever.
  text = failureOf({"-lppDebug", socketPath});
  EXPECT_FALSE(text.empty());
  EXPECT_NE(text, "(none)");
  EXPECT_FALSE(listener.hasPending());
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
  EXPECT_EQ(io->name(), "<unix-server-anon-uid-" + uidText() + ">");
  test::writeAll(launcherEnd.get(), "in", 2);
  char received[2];
  io->inStream().readBytes(received, 2);
  EXPECT_EQ(std::string(received, 2), "in");
}

TEST(LaunchedProcessPipeWrapTest, InheritedDescriptorKinds) {
  // A pipe: a plain descriptor connection.
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
  ASSERT_GE(datagram, 0);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(datagram, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
  EXPECT_EQ(typeid(*LaunchedProcessPipe::wrapInheritedFd(datagram)), typeid(io::FdIo));

  // A TCP connection on the loopback.
  io::UniqueFd listener(::socket(AF_INET, SOCK_STREAM, 0));
  socklen_t length = sizeof any;
  any.sin_port = 0;
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
  try {
    LaunchedProcessPipe::wrapInheritedFd(closed);
    ADD_FAILURE() << "wrapped a closed descriptor";
  } catch (const plat::SystemException& e) {
    EXPECT_EQ(e.err(), EBADF);
  }
}

// What the process that carries on after "-fork" saw of itself.
struct ForkReport {
  pid_t pid;
  pid_t parent;
  pid_t session;
};

TEST(LaunchedProcessPipeForkTest, ContinuesInAGrandchildOutsideTheCaller) {
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
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);

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
