// The agent binary's command line, its greeting, log forwarding, the ways
// it ends, and the channels it can be given.

#include "AgentTestPeer.h"

#include "base/io/FdIo.h"
#include "libs/agenthost/FromAgentReader.h"
#include "testsupport/ChildProcess.h"
#include "testsupport/ForkedChild.h"
#include "testsupport/LoopPump.h"

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

namespace e2e {
namespace {

using testsupport::ChildProcess;
using testsupport::ChildResult;

const std::string agentPath = KWO_AGENT_PATH;

TEST(AgentCommandLine, ErrorsGoToStandardErrorWithStatusOne) {
  const char* notDirectly = "This program is not intended to be run directly.\n";
  const char* noPipe = "Bad command-line: got <null> instead of pipe name\n";
  const char* badHash = "-hash argument bad or missing\n";
  struct Case {
    std::vector<std::string> args;
    std::string err;
    std::vector<std::pair<std::string, std::string>> environment;
  };
  const Case cases[] = {
    {{}, notDirectly, {}},
    {{"Service"}, notDirectly, {}},
    {{""}, notDirectly, {}},
    {{"desktop", "-paramsxml"}, notDirectly, {}},
    {{"-paramsxml"}, notDirectly, {}},
    {{"user"}, noPipe, {}},
    {{"user", "-lppDebug"}, noPipe, {}},
    {{"service", "-x"}, "Bad command-line: got -x instead of pipe name\n", {}},
    {{"virtual", "-hash", "abc", "/tmp/none"}, badHash, {}},
    {{"user", "-hash"}, badHash, {}},
    // -paramsxml only as the second argument.
    {{"user", "pipe", "-paramsxml"}, "", {}},
    {{"user", "-dummy", "NoSuchParameter=1"}, "Bad argument 'NoSuchParameter=1'", {}},
    // Used to be logged for a server only, after the channel had gone: with
    // standard error the one trace left, the agent died without a word.
    {{"user", "-dummy"}, "unable to open display \":64999\"\n", {{"DISPLAY", ":64999"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    std::vector<std::string> argv = {agentPath};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    ChildResult result = ChildProcess::run(argv, c.environment);
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.err.rfind(c.err, 0), 0u) << result.err;
    EXPECT_EQ(result.out, "");
  }
}

TEST(AgentCommandLine, ParamsXmlWritesAWellFormedDocumentWithLocalisationKeys) {
  for (const char* mode : {"service", "user", "virtual"}) {
    SCOPED_TRACE(mode);
    ChildResult result = ChildProcess::run({agentPath, mode, "-paramsxml"});
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out.rfind("<?xml version=\"1.0\"?>\n<config>\n", 0), 0u);
    EXPECT_NE(result.out.find("<string name=\"Log\"\n        locDesc=\"plat_param_log\"\n"),
              std::string::npos);
    EXPECT_EQ(result.out.find("name=\"ppmm\""), std::string::npos);
    ChildResult lint = ChildProcess::run({"xmllint", "--noout", "-"}, {}, result.out);
    EXPECT_TRUE(lint.exited && lint.exitStatus == 0) << lint.err;
  }
  // A document lost to a full disk used to end with status 0, as if complete.
  ChildResult full = ChildProcess::run({"sh", "-c", "exec \"$0\" user -paramsxml > /dev/full", agentPath});
  EXPECT_EQ(full.exitStatus, 1);
  EXPECT_NE(full.err.find("writing the parameter document failed"), std::string::npos) << full.err;
}

using AgentProtocolTest = AgentTest;

TEST_F(AgentProtocolTest, GreetingNamesTheScreenAndItsFormatAndADisconnectEndsTheAgent) {
  for (int depth : {24, 16}) {
    SCOPED_TRACE(depth);
    testsupport::XvfbServer::Options options;
    options.width = 800;
    options.height = 600;
    options.depth = depth;
    startXvfb(options);
    launchAgent();
    ASSERT_EQ(recorder.greetings.size(), 1u);
    EXPECT_EQ(recorder.greetings[0].rect, rfb::Rect(0, 0, 800, 600));
    const rfb::PixelFormat& pf = recorder.greetings[0].pf;
    EXPECT_TRUE(pf.trueColour && pf.depth == depth && pf.bpp == (depth == 16 ? 16 : 32))
      << pf.print();
    EXPECT_EQ(agent->reader().received("init"), 1u);
    agent->channel().close(false);
    expectEnd({0});
  }
}

TEST_F(AgentProtocolTest, LogLinesWaitForTheServersLevelAndSignalsEndTheAgentWithZero) {
  // Log lines produced before "setLogLevel" are held, then sent as far as
  // the level admits; the end of the channel marks the point where
  // everything sent has been seen.
  startXvfb();
  for (auto [level, signal] : {std::pair{200, SIGTERM}, std::pair{0, SIGINT}}) {
    SCOPED_TRACE(level);
    launch(settings(), -1);
    agent->send(agentmsg::Start{});
    agent->send(agentmsg::SetLogLevel{uint32_t(level)});
    ASSERT_TRUE(level == 0 || waitForLog("Desktop started (1024x768 at 0,0)"));
    kill(agent->pid(), signal);
    expectEnd({0});
    ASSERT_TRUE(until([&] { return agent->state() != agenthost::AgentProcess::State::connected; }));
    auto starting = std::find_if(recorder.logs.begin(), recorder.logs.end(),
                                 [](const auto& log) { return log.text == "Starting desktop"; });
    ASSERT_EQ(starting != recorder.logs.end(), level == 200);
    if (level == 200) {
      EXPECT_EQ(starting->level, 30u);
      EXPECT_EQ(starting->source, "SServerAgent");
      EXPECT_TRUE(recorder.hasLog("Got signal SIGTERM"));
    }
    for (const agentmsg::LogMsg& log : recorder.logs)
      EXPECT_LE(log.level, uint32_t(level)) << log.source << ": " << log.text;
  }
}

// The agent started by hand with `args` after "user", on `display`, with
// `connection` (when there is one) as its descriptor `childFd`.
std::unique_ptr<testsupport::ForkedChild> spawn(std::vector<std::string> args,
                                                const std::string& display, int connection = -1,
                                                int childFd = -1) {
  args.insert(args.begin(), {agentPath, "user"});
  std::vector<char*> argv;
  for (std::string& arg : args)
    argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::string displayEntry = "DISPLAY=" + display;
  return std::make_unique<testsupport::ForkedChild>([&](int, int) {
    if (connection == childFd)
      fcntl(childFd, F_SETFD, 0);
    else if (connection >= 0)
      dup2(connection, childFd);
    putenv(displayEntry.data());
    execv(argv[0], argv.data());
    return 127;
  });
}

TEST(AgentChannel, AWrongHashIsRefused) {
  testsupport::TempDir dir("kwo-hash");
  std::string path = dir.path() + "/pipe";
  int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{AF_UNIX, {}};
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  // The digest of 32 zero bytes is not zero.
  auto agent = spawn({"-hash", std::string(64, '0'), path}, ":64999");
  pollfd p{listener, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, deadlineMs), 1);
  int fd = accept(listener, nullptr, nullptr);
  char zeros[32] = {};
  EXPECT_EQ(write(fd, zeros, sizeof zeros), 32);
  EXPECT_EQ(agent->wait(), 1);
  close(fd);
  close(listener);
}

struct Channel : io::MsgIpc::Callback {
  void ipcClosed(io::MsgIpc&) override {}
};

TEST(AgentChannel, InheritedDescriptorAndStandardInputServeAsTheChannel) {
  testsupport::XvfbServer xvfb;
  for (auto [arg, childFd] : {std::pair{"5", 5}, std::pair{"-dummy", 0}}) {
    SCOPED_TRACE(arg);
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    auto agent = spawn({arg}, xvfb.displayName(), fds[1], childFd);
    close(fds[1]);
    io::FdSelectManager manager;
    Channel callback;
    io::MsgIpc channel(callback, "Test");
    agenthost::FromAgentReader reader(channel);
    AgentRecorder recorder;
    reader.addHandler(recorder);
    channel.accept(std::make_unique<io::FdIo>(fds[0]));
    ASSERT_TRUE(testsupport::pumpUntil(manager, [&] { return !recorder.greetings.empty(); }));
    EXPECT_EQ(reader.received("init"), 1u);
    EXPECT_EQ(recorder.greetings[0].rect, rfb::Rect(0, 0, 1024, 768));
    // The channel lets go of the connection in a later loop pass only.
    shutdown(fds[0], SHUT_RDWR);
    EXPECT_EQ(agent->wait(), 0) << agent->errorOutput();
  }
}

} // namespace
} // namespace e2e
