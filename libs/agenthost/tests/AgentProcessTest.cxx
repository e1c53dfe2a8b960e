#include "StandInAgent.h"

#include "base/io/FdSelectManager.h"
#include "base/plat/Exception.h"
#include "libs/agenthost/AgentProcess.h"
#include "libs/agentmsg/ToAgentMsgs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <dirent.h>
#include <filesystem>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace agenthost::test {

using namespace agentmsg;

namespace {

constexpr int deadlineMs = 30000;

// Every log line the agent sent, and the cut texts it answered with.
struct Recorder : FromAgentHandler, AgentProcess::Callback {
  std::vector<std::string> logs;
  std::vector<std::string> cutTexts;
  int connected = 0;
  int disconnected = 0;
  std::vector<std::string> failures;
  std::vector<ExitStatus> exits;
  InitRectAndPf initRect;

  void logMsg(const LogMsg& msg) override { logs.push_back(msg.text); }
  void serverCutText(const ServerCutText& msg) override { cutTexts.push_back(msg.text); }
  void initRectAndPf(const InitRectAndPf& msg) override { initRect = msg; }
  void agentConnected(AgentProcess&) override { connected++; }
  void agentDisconnected(AgentProcess&) override { disconnected++; }
  void agentFailed(AgentProcess&, const std::string& reason) override {
    failures.push_back(reason);
  }
  void agentExited(AgentProcess&, const ExitStatus& status) override { exits.push_back(status); }

  bool hasLog(const std::string& text) const {
    return std::find(logs.begin(), logs.end(), text) != logs.end();
  }
};

bool exists(const std::string& path) {
  struct stat st;
  return !path.empty() && lstat(path.c_str(), &st) == 0;
}

// True when `pid` is no child of ours any more (it was reaped).
bool reaped(pid_t pid) { return waitpid(pid, nullptr, WNOHANG) < 0 && errno == ECHILD; }

class AgentProcessTest : public testing::Test {
protected:
  void SetUp() override {
    char templ[] = "/tmp/agenthost-test-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    base = templ;
  }
  void TearDown() override {
    // Nothing may be left in the socket base.
    EXPECT_TRUE(std::filesystem::is_empty(base)) << base;
    std::filesystem::remove_all(base);
  }

  AgentLaunch launch(const char* behaviour) {
    AgentLaunch l;
    l.agentPath = selfPath();
    l.socketBase = base;
    l.environment = {{standInVariable, behaviour}};
    return l;
  }

  // Waits for the agent's log lines up to one equal to `text`.
  bool waitForLog(AgentProcess& agent, const std::string& text) {
    return agent.waitUntil([&] { return recorder.hasLog(text); }, deadlineMs);
  }

  io::FdSelectManager manager;
  std::string base;
  Recorder recorder;
};

TEST_F(AgentProcessTest, AgentGetsItsArgumentsAndEnvironmentAndPassesTheHashCheck) {
  AgentLaunch l = launch("echo");
  l.display = ":77";
  l.environment.push_back({"AGENTHOST_EXTRA", "two words"});
  l.params = {{"PollInterval", "20"}, {"Log", "*:stderr:0"}, {"Desktop", "a=b c"}};
  AgentProcess agent(l, &recorder, &recorder);
  std::string path = agent.socketPath();
  std::string directory = agent.socketDirectory();
  // A private directory: nobody else may reach the socket.
  struct stat st;
  ASSERT_EQ(stat(directory.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  // The stand-in only gets this far when the 32 bytes it was sent have the
  // digest it was given with -hash.
  ASSERT_TRUE(agent.waitForMsg("init", deadlineMs));
  ASSERT_TRUE(agent.waitForMsg("initRectAndPf", deadlineMs));
  EXPECT_EQ(recorder.initRect.rect, rfb::Rect(0, 0, 640, 480));
  EXPECT_EQ(agent.state(), AgentProcess::State::connected);
  EXPECT_EQ(recorder.connected, 1);
  // Connected: the socket and its directory are gone already.
  EXPECT_FALSE(exists(path));
  EXPECT_FALSE(exists(directory));

  ASSERT_TRUE(waitForLog(agent, "arg=Desktop=a=b c"));
  std::vector<std::string> expected{"mode=user",       "display=:77",       "extra=two words",
                                    "arg=-hash",       "arg=" + agent.hashHex(),
                                    "arg=" + path,     "arg=PollInterval=20", "arg=Log=*:stderr:0",
                                    "arg=Desktop=a=b c"};
  EXPECT_EQ(recorder.logs, expected);
  EXPECT_EQ(agent.hashHex().size(), 64u);
}

TEST_F(AgentProcessTest, MessagesGoBothWays) {
  AgentProcess agent(launch("echo"), &recorder, &recorder);
  ASSERT_TRUE(agent.waitForMsg("initRectAndPf", deadlineMs));
  agent.send(KeyEvent{65, true});
  ASSERT_TRUE(waitForLog(agent, "keyEvent 65 1"));
  // Long enough to take many reads and frames each way.
  std::string text(100000, 'x');
  for (size_t i = 0; i < text.size(); i++)
    text[i] = char('a' + i % 26);
  agent.send(ClientCutText{text});
  ASSERT_TRUE(agent.waitForMsg("serverCutText", deadlineMs));
  ASSERT_EQ(recorder.cutTexts.size(), 1u);
  EXPECT_EQ(recorder.cutTexts[0], text);
  agent.send(Start{});
  ASSERT_TRUE(waitForLog(agent, "got start"));
  // Each arrival is taken once.
  EXPECT_FALSE(agent.waitForMsg("serverCutText", 0));
}

TEST_F(AgentProcessTest, ModeWordsReachTheAgent) {
  struct Case {
    AgentMode mode;
    const char* word;
  } cases[] = {{AgentMode::user, "user"},
               {AgentMode::virtualDisplay, "virtual"},
               {AgentMode::service, "service"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.word);
    recorder.logs.clear();
    AgentLaunch l = launch("echo");
    l.mode = c.mode;
    AgentProcess agent(l, &recorder, &recorder);
    EXPECT_TRUE(waitForLog(agent, std::string("mode=") + c.word));
  }
}

TEST_F(AgentProcessTest, AgentThatNeverConnectsTimesOutAndIsTerminated) {
  AgentLaunch l = launch("silent");
  l.connectTimeoutMs = 200;
  AgentProcess agent(l, &recorder, &recorder);
  std::string directory = agent.socketDirectory();
  ASSERT_TRUE(agent.waitForExit(deadlineMs));
  EXPECT_EQ(agent.state(), AgentProcess::State::failed);
  ASSERT_EQ(recorder.failures.size(), 1u);
  EXPECT_EQ(recorder.failures[0], "Agent did not connect within 200 ms");
  ASSERT_EQ(recorder.exits.size(), 1u);
  EXPECT_EQ(recorder.exits[0].signal, SIGTERM);
  EXPECT_FALSE(exists(directory));
  EXPECT_TRUE(reaped(agent.pid()));
}

TEST_F(AgentProcessTest, AgentDyingBeforeConnectingIsReported) {
  for (auto watch : {LaunchedChild::Watch::pidfd, LaunchedChild::Watch::polling}) {
    SCOPED_TRACE(watch == LaunchedChild::Watch::pidfd ? "pidfd" : "polling");
    recorder = Recorder();
    AgentProcess agent(launch("die"), &recorder, &recorder, watch);
    ASSERT_TRUE(agent.waitForExit(deadlineMs));
    ASSERT_EQ(recorder.failures.size(), 1u);
    EXPECT_EQ(recorder.failures[0], "Agent ended before connecting: exit status 3");
    ASSERT_EQ(recorder.exits.size(), 1u);
    EXPECT_TRUE(recorder.exits[0].exitedWith(3));
    EXPECT_EQ(agent.failure(), recorder.failures[0]);
    EXPECT_TRUE(agent.socketDirectory().empty());
    EXPECT_FALSE(agent.waitForMsg("init", 0));
  }
}

TEST_F(AgentProcessTest, ConnectionFromAnotherProcessIsDroppedUnanswered) {
  AgentProcess agent(launch("impostor"), &recorder, &recorder);
  // The grandchild connected first and was sent nothing (not the challenge).
  ASSERT_TRUE(waitForLog(agent, "impostor got 0 bytes"));
  EXPECT_EQ(agent.state(), AgentProcess::State::connected);
  EXPECT_EQ(recorder.connected, 1);
}

TEST_F(AgentProcessTest, AgentLeavingIsReportedAsDisconnectThenExit) {
  AgentProcess agent(launch("leave"), &recorder, &recorder);
  ASSERT_TRUE(agent.waitForMsg("init", deadlineMs));
  ASSERT_TRUE(agent.waitUntil([&] { return !recorder.exits.empty() && recorder.disconnected; },
                              deadlineMs));
  EXPECT_EQ(agent.state(), AgentProcess::State::disconnected);
  EXPECT_TRUE(recorder.exits[0].exitedWith(5));
  EXPECT_TRUE(recorder.failures.empty());
  // Nothing more will come.
  EXPECT_FALSE(agent.waitForMsg("initRectAndPf", deadlineMs));
}

TEST_F(AgentProcessTest, DestructionEndsAndReapsTheAgentAndLeavesNothing) {
  pid_t pid;
  std::string directory;
  {
    AgentProcess agent(launch("silent"), &recorder, &recorder);
    pid = agent.pid();
    directory = agent.socketDirectory();
    EXPECT_TRUE(exists(directory));
  }
  EXPECT_TRUE(reaped(pid));
  EXPECT_FALSE(exists(directory));
}

TEST_F(AgentProcessTest, ProgramThatCannotRunIsReportedByTheConstructor) {
  AgentLaunch l = launch("echo");
  l.agentPath = base + "/no-such-agent";
  try {
    AgentProcess agent(l, &recorder, &recorder);
    FAIL() << "no exception";
  } catch (plat::SystemException& e) {
    EXPECT_NE(std::string(e.what()).find("execve"), std::string::npos) << e.what();
  }
}

TEST_F(AgentProcessTest, BadParameterNameIsRefusedBeforeAnythingIsMade) {
  AgentLaunch l = launch("echo");
  l.params = {{"-fork", ""}};
  EXPECT_THROW(AgentProcess(l, &recorder, &recorder), plat::Exception);
}

TEST(LaunchedChildTest, ChildIgnoringTerminationIsKilledAfterTheGracePeriod) {
  io::FdSelectManager manager;
  struct : LaunchedChild::Callback {
    void childExited(LaunchedChild&, const ExitStatus&) override {}
  } callback;
  std::string variable = std::string(standInVariable) + "=stubborn";
  LaunchedChild child(callback, {selfPath()}, {variable}, manager);
  // Give it the time to install its SIG_IGN: wait until it sleeps.
  std::string stat = "/proc/" + std::to_string(child.pid()) + "/stat";
  for (int i = 0; i < 3000; i++) {
    FILE* f = fopen(stat.c_str(), "r");
    char state = 0;
    if (f) {
      (void)!fscanf(f, "%*d %*s %c", &state);
      fclose(f);
    }
    if (state == 'S')
      break;
    usleep(10000);
  }
  child.stop(200);
  ASSERT_TRUE(child.status());
  EXPECT_EQ(child.status()->signal, SIGKILL);
  EXPECT_TRUE(reaped(child.pid()));
}

} // namespace
} // namespace agenthost::test
