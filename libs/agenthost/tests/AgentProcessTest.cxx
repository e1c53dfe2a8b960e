// Launching agents: the command line and environment, and the whole life
// of an AgentProcess against a stand-in agent: this test binary re-executed
// with AGENTHOST_STANDIN set to a behaviour (see runMode):
//   echo      connects back through the real launched-process pipe (which
//             checks the challenge against -hash), greets, logs its launch
//             "mode|DISPLAY|EXTRA|args...", answers "keyEvent" with a log
//             "key N" and "clientCutText" with the same "serverCutText",
//             and ends with status 5 at "stop".
//   silent    never connects; stubborn: the same, ignoring SIGTERM.
//   die       ends at once with status 3.
//   impostor  first lets a grandchild connect and log what it was sent.

#include "base/io/FdSelectManager.h"
#include "base/io/Io.h"
#include "base/os/LaunchedProcessPipe.h"
#include "base/plat/Exception.h"
#include "base/rdr/InStreamV4.h"
#include "base/rdr/OutStreamV4.h"
#include "libs/agenthost/AgentProcess.h"
#include "libs/agenthost/HashChallenge.h"
#include "libs/agentmsg/MsgWriter.h"
#include "libs/agentmsg/ToAgentMsgs.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace agenthost::test {

using namespace agentmsg;

constexpr const char* standInVariable = "AGENTHOST_STANDIN";
// This test binary, run as the stand-in.
constexpr const char* selfPath = "/proc/self/exe";

namespace {

void log(rdr::OutStreamV4& out, const std::string& text) {
  writeMsg(out, LogMsg{30, "StandIn", text}, true);
}

int echo(int argc, char** argv, const std::string& before) {
  int cursor = 2;
  std::unique_ptr<io::Io> io = os::LaunchedProcessPipe().connect(argc, argv, cursor);
  rdr::InStreamV4 in(&io->inStream());
  rdr::OutStreamV4 out(&io->outStream());
  writeMsg(out, Init{});
  writeMsg(out, InitRectAndPf{rfb::Rect(0, 0, 640, 480), rfb::PixelFormat::rgb888()}, true);
  auto env = [](const char* name) { return std::string(getenv(name) ? getenv(name) : "-"); };
  std::string facts = std::string(argv[1]) + "|" + env("DISPLAY") + "|" + env("AGENTHOST_EXTRA");
  for (int i = 2; i < argc; i++)
    facts += std::string("|") + argv[i];
  log(out, facts);
  log(out, before);
  try {
    for (ParseState state;; state.reset()) {
      in.startMsg(true);
      std::string name = in.readShortString();
      if (name == Stop::name)
        return 5;
      if (name == KeyEvent::name) {
        KeyEvent key;
        key.read(in, state);
        log(out, "key " + std::to_string(key.keysym));
      } else if (name == ClientCutText::name) {
        ClientCutText cut;
        cut.read(in, state);
        writeMsg(out, ServerCutText{cut.text}, true);
      }
      in.skipToEnd();
      in.endMsg();
    }
  } catch (plat::Exception&) {
    return 0;
  }
}

int runMode(const std::string& mode, int argc, char** argv) {
  if (mode == "stubborn")
    signal(SIGTERM, SIG_IGN);
  while (mode == "silent" || mode == "stubborn")
    pause();
  if (mode == "die")
    return 3;
  std::string before;
  if (mode == "impostor") {
    // Connects as a process other than the launched one; how much it was sent.
    pid_t child = fork();
    if (child == 0) {
      int fd = socket(AF_UNIX, SOCK_STREAM, 0);
      sockaddr_un address{AF_UNIX, {}};
      std::strncpy(address.sun_path, argv[argc - 1], sizeof address.sun_path - 1);
      int total = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) ? 100 : 0;
      char buffer[64];
      for (ssize_t n; total < 100 && (n = read(fd, buffer, sizeof buffer)) > 0;)
        total += int(n);
      _exit(total);
    }
    int status = 0;
    waitpid(child, &status, 0);
    before = "impostor got " + std::to_string(WEXITSTATUS(status)) + " bytes";
  }
  return echo(argc, argv, before);
}

TEST(AgentLaunch, SettingsThatWouldChangeTheCommandLineAreRefused) {
  struct Case {
    const char* name;
    std::string value;
    bool accepted;
  } cases[] = {
      {"PollInterval", "20", true}, {"Log", "*:stderr:100", true}, {"", "x", false},
      {"-fork", "", false},         {"A=B", "c", false},            {"Tab\there", "x", false},
      {"Nul", std::string("a\0b", 3), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AgentLaunch l;
    l.agentPath = "/bin/agent";
    l.params = {{c.name, c.value}};
    if (c.accepted)
      EXPECT_NO_THROW(l.commandLine("/s", "h"));
    else
      EXPECT_THROW(l.commandLine("/s", "h"), plat::Exception);
  }
  EXPECT_NE(HashChallenge().bytes(), HashChallenge().bytes());
}

constexpr int deadlineMs = 30000;

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
};

bool exists(const std::string& path) {
  struct stat st;
  return !path.empty() && lstat(path.c_str(), &st) == 0;
}

// True when `pid` is no child of ours any more (it was reaped).
bool reaped(pid_t pid) { return waitpid(pid, nullptr, WNOHANG) < 0 && errno == ECHILD; }

class AgentProcessTest : public testing::Test {
protected:
  // Nothing may be left in the socket base.
  void TearDown() override { EXPECT_TRUE(std::filesystem::is_empty(base.path())); }

  AgentLaunch launch(const char* behaviour) {
    AgentLaunch l;
    l.agentPath = selfPath;
    l.socketBase = base.path();
    l.environment = {{standInVariable, behaviour}};
    return l;
  }

  bool waitForLog(AgentProcess& agent, const std::string& text) {
    auto has = [&] { return std::count(recorder.logs.begin(), recorder.logs.end(), text) > 0; };
    return agent.waitUntil(has, deadlineMs);
  }

  io::FdSelectManager manager;
  testsupport::TempDir base{"agenthost-test"};
  Recorder recorder;
};

TEST_F(AgentProcessTest, AgentGetsItsLaunchPassesTheHashCheckAndMessagesGoBothWays) {
  AgentLaunch l = launch("echo");
  l.mode = AgentMode::service;
  l.lppDebug = true;
  l.display = ":77";
  l.environment.push_back({"AGENTHOST_EXTRA", "two words"});
  l.params = {{"PollInterval", "20"}, {"Desktop", "a=b c"}};
  AgentProcess agent(l, &recorder, &recorder);
  std::string path = agent.socketPath();
  std::string directory = agent.socketDirectory();
  // A private directory: nobody else may reach the socket.
  struct stat st;
  ASSERT_EQ(stat(directory.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  // The stand-in only gets this far when the 32 bytes it was sent have the
  // digest it was given with -hash.
  ASSERT_TRUE(agent.waitForMsg("initRectAndPf", deadlineMs));
  EXPECT_EQ(recorder.initRect.rect, rfb::Rect(0, 0, 640, 480));
  EXPECT_EQ(agent.state(), AgentProcess::State::connected);
  EXPECT_EQ(recorder.connected, 1);
  // Connected: the socket and its directory are gone already.
  EXPECT_FALSE(exists(path));
  EXPECT_FALSE(exists(directory));
  ASSERT_TRUE(waitForLog(agent, "service|:77|two words|-lppDebug|-hash|" + agent.hashHex() + "|" + path +
                                  "|PollInterval=20|Desktop=a=b c"));

  agent.send(KeyEvent{65, true});
  ASSERT_TRUE(waitForLog(agent, "key 65"));
  const std::string text = "copied \xc3\xa9";
  agent.send(ClientCutText{text});
  ASSERT_TRUE(agent.waitForMsg("serverCutText", deadlineMs));
  EXPECT_EQ(recorder.cutTexts, std::vector<std::string>{text});
  // Each arrival is taken once.
  EXPECT_FALSE(agent.waitForMsg("serverCutText", 0));

  // Leaving is reported as a disconnect, then the exit.
  agent.send(Stop{});
  ASSERT_TRUE(agent.waitUntil([&] { return !recorder.exits.empty() && recorder.disconnected; },
                              deadlineMs));
  EXPECT_EQ(agent.state(), AgentProcess::State::disconnected);
  EXPECT_TRUE(recorder.exits[0].exitedWith(5));
  EXPECT_TRUE(recorder.failures.empty());
}

TEST_F(AgentProcessTest, AgentThatNeverConnectsEndsWithItsOwnerOrTimesOutAndLeavesNothing) {
  AgentLaunch l = launch("silent");
  pid_t pid;
  std::string directory;
  {
    AgentProcess agent(l, &recorder, &recorder);
    pid = agent.pid();
    directory = agent.socketDirectory();
    EXPECT_TRUE(exists(directory));
  }
  EXPECT_TRUE(reaped(pid));
  EXPECT_FALSE(exists(directory));

  recorder = Recorder();
  l.connectTimeoutMs = 200;
  AgentProcess agent(l, &recorder, &recorder);
  directory = agent.socketDirectory();
  ASSERT_TRUE(agent.waitForExit(deadlineMs));
  EXPECT_EQ(agent.state(), AgentProcess::State::failed);
  EXPECT_EQ(recorder.failures, std::vector<std::string>{"Agent did not connect within 200 ms"});
  ASSERT_EQ(recorder.exits.size(), 1u);
  EXPECT_EQ(recorder.exits[0].signal, SIGTERM);
  EXPECT_FALSE(exists(directory));
}

TEST_F(AgentProcessTest, AgentDyingBeforeConnectingIsReported) {
  for (auto watch : {LaunchedChild::Watch::pidfd, LaunchedChild::Watch::polling}) {
    SCOPED_TRACE(watch == LaunchedChild::Watch::pidfd ? "pidfd" : "polling");
    recorder = Recorder();
    AgentProcess agent(launch("die"), &recorder, &recorder, watch);
    ASSERT_TRUE(agent.waitForExit(deadlineMs));
    EXPECT_EQ(recorder.failures,
              std::vector<std::string>{"Agent ended before connecting: exit status 3"});
    ASSERT_EQ(recorder.exits.size(), 1u);
    EXPECT_TRUE(recorder.exits[0].exitedWith(3));
    EXPECT_EQ(agent.failure(), recorder.failures.at(0));
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

TEST_F(AgentProcessTest, LaunchesThatCannotBeMadeThrowAndLeaveNothing) {
  AgentLaunch missing = launch("echo");
  missing.agentPath = base.path() + "/no-such-agent";
  try {
    AgentProcess agent(missing, &recorder, &recorder);
    ADD_FAILURE() << "no exception";
  } catch (plat::SystemException& e) {
    EXPECT_NE(std::string(e.what()).find("execve"), std::string::npos) << e.what();
  }
  AgentLaunch badName = launch("echo");
  badName.params = {{"-fork", ""}};
  EXPECT_THROW(AgentProcess(badName, &recorder, &recorder), plat::Exception);
}

TEST(LaunchedChildTest, ChildIgnoringTerminationIsKilledAfterTheGracePeriod) {
  io::FdSelectManager manager;
  struct : LaunchedChild::Callback {
    void childExited(LaunchedChild&, const ExitStatus&) override {}
  } callback;
  LaunchedChild child(callback, {selfPath}, {std::string(standInVariable) + "=stubborn"},
                      manager);
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
}

} // namespace
} // namespace agenthost::test

// The test binary doubles as the stand-in agent.
int main(int argc, char** argv) {
  if (const char* behaviour = getenv(agenthost::test::standInVariable))
    return agenthost::test::runMode(behaviour, argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
