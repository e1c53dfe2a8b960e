// The agent binary's command line, its greeting, log forwarding, the ways
// it ends, and a channel whose digest is wrong.

#include "AgentTestPeer.h"

#include "testsupport/BackgroundChild.h"
#include "testsupport/ChildProcess.h"
#include "testsupport/LoopPump.h"

#include <csignal>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <tuple>

namespace e2e {
namespace {

using testsupport::ChildProcess;
using testsupport::ChildResult;

const std::string agentPath = KWO_AGENT_PATH;

TEST(AgentCommandLine, ErrorsGoToStandardErrorWithStatusOne) {
  const char* notDirectly = "This program is not intended to be run directly.\n";
  struct Case {
    std::vector<std::string> args;
    std::string err;
    std::vector<std::pair<std::string, std::string>> environment;
  };
  const Case cases[] = {
    {{}, notDirectly, {}},
    {{"Service"}, notDirectly, {}},
    {{"desktop", "-paramsxml"}, notDirectly, {}},
    // What the channel refuses: base/os's tests; here it ends the agent.
    {{"user"}, "Bad command-line: got <null> instead of pipe name\n", {}},
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

TEST_F(AgentProtocolTest, GreetingNamesTheScreenAndLogLinesWaitForTheServersLevel) {
  // Log lines produced before "setLogLevel" are held, then sent as far as
  // the level admits; a signal ends the agent with 0, and the end of the
  // channel marks the point where everything sent has been seen.
  for (auto [depth, level, signal] : {std::tuple{24, 200, SIGTERM}, std::tuple{16, 0, SIGINT}}) {
    SCOPED_TRACE(depth);
    testsupport::XvfbServer::Options options;
    options.width = 800;
    options.height = 600;
    options.depth = depth;
    startXvfb(options);
    launch(settings(), -1);
    ASSERT_EQ(recorder.greetings.size(), 1u);
    EXPECT_EQ(recorder.greetings[0].rect, rfb::Rect(0, 0, 800, 600));
    const rfb::PixelFormat& pf = recorder.greetings[0].pf;
    EXPECT_TRUE(pf.trueColour && pf.depth == depth && pf.bpp == (depth == 16 ? 16 : 32))
      << pf.print();
    EXPECT_EQ(agent->reader().received("init"), 1u);
    agent->send(agentmsg::Start{});
    agent->send(agentmsg::SetLogLevel{uint32_t(level)});
    ASSERT_TRUE(level == 0 || waitForLog("Desktop started (800x600 at 0,0)"));
    kill(agent->pid(), signal);
    expectEnd({0});
    ASSERT_TRUE(until([&] { return agent->state() != agenthost::AgentProcess::State::connected; }));
    auto starting = std::find_if(recorder.logs.begin(), recorder.logs.end(),
                                 [](const auto& log) { return log.text == "Starting desktop"; });
    ASSERT_EQ(starting != recorder.logs.end(), level == 200);
    if (level == 200) {
      EXPECT_EQ(starting->level, 30u);
      EXPECT_EQ(starting->source, "SServerAgent");
      EXPECT_EQ(recorder.logCount("Got signal SIGTERM"), 1);
    }
    for (const agentmsg::LogMsg& log : recorder.logs)
      EXPECT_LE(log.level, uint32_t(level)) << log.source << ": " << log.text;
  }
}

// The channel's own checks: base/os's tests; here the agent ends with 1.
TEST(AgentChannel, AWrongHashIsRefused) {
  testsupport::TempDir dir("kwo-hash");
  std::string path = dir.path() + "/pipe";
  int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{AF_UNIX, {}};
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  // The digest of 32 zero bytes is not zero.
  testsupport::BackgroundChild agent({agentPath, "user", "-hash", std::string(64, '0'), path},
                                     {{"DISPLAY", ":64999"}});
  pollfd p{listener, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, deadlineMs), 1);
  int fd = accept(listener, nullptr, nullptr);
  char zeros[32] = {};
  EXPECT_EQ(write(fd, zeros, sizeof zeros), 32);
  EXPECT_TRUE(testsupport::waitUntil([&] { return agent.ended(); }, [] { usleep(10000); }));
  EXPECT_EQ(agent.result().exitStatus, 1);
  // Refused before the display is opened, which would fail here, on
  // standard error.
  EXPECT_EQ(agent.result().err, "");
  close(fd);
  close(listener);
}

} // namespace
} // namespace e2e
