// The agent running as root works out whose desktop it is from the windows'
// processes: applications started by the test as other users, each with its
// own XAUTHORITY, decide the user and the X authority file that the agent
// reports in "desktopUidChanged".

#include "base/io/FdSelectManager.h"
#include "libs/agenthost/AgentProcess.h"
#include "tests/LaunchedAgent.h"
#include "testsupport/XvfbServer.h"

#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace e2e {
namespace {

using testsupport::XvfbServer;

constexpr int deadlineMs = 60000;

struct Recorder : agenthost::FromAgentHandler {
  std::vector<agentmsg::DesktopUidChanged> reports;
  std::vector<agentmsg::LogMsg> logs;

  void desktopUidChanged(const agentmsg::DesktopUidChanged& msg) override {
    reports.push_back(msg);
  }
  void logMsg(const agentmsg::LogMsg& msg) override { logs.push_back(msg); }

  bool hasLog(const std::string& source, const std::string& text) const {
    return std::any_of(logs.begin(), logs.end(), [&](const agentmsg::LogMsg& log) {
      return log.source == source && log.text == text;
    });
  }
};

// A window-owning application running as `uid` with XAUTHORITY in its
// environment; it ends when this object goes.
class AppAsUser {
public:
  AppAsUser(const std::string& display, uid_t uid, const std::string& xauthority,
            const std::string& windowType) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
      throw std::runtime_error("pipe failed");
    // Built before the fork: the child only makes system calls.
    std::string xauthEntry = "XAUTHORITY=" + xauthority;
    const char* argv[] = {KWO_PIDWINDOW_PATH, display.c_str(), windowType.c_str(), nullptr};
    const char* envp[] = {xauthEntry.c_str(), "PATH=/usr/bin:/bin", nullptr};
    pid_ = fork();
    if (pid_ < 0)
      throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      dup2(in[0], STDIN_FILENO);
      dup2(out[1], STDOUT_FILENO);
      if (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0)
        _exit(126);
      execve(argv[0], const_cast<char**>(argv), const_cast<char**>(envp));
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
  }
  ~AppAsUser() {
    close(stdin_);
    close(stdout_);
    int status;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > end) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        break;
      }
      usleep(10000);
    }
  }
  AppAsUser(const AppAsUser&) = delete;
  AppAsUser& operator=(const AppAsUser&) = delete;

  pid_t pid() const { return pid_; }

  // Whether the window is on the server (the application said "ready").
  bool waitReady() {
    std::string said;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
    while (said.find("ready\n") == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
      pollfd fd{stdout_, POLLIN, 0};
      if (left.count() <= 0 || poll(&fd, 1, int(left.count())) <= 0)
        return false;
      char buffer[64];
      ssize_t n = read(stdout_, buffer, sizeof buffer);
      if (n <= 0)
        return false;
      said.append(buffer, size_t(n));
    }
    return true;
  }

private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
};

class DesktopUserTest : public testing::Test {
protected:
  void SetUp() override {
    if (getuid() != 0)
      GTEST_SKIP() << "the agent watches the desktop user only when it runs as root";
    xvfb = std::make_unique<XvfbServer>();
  }

  void startApp(uid_t uid, const std::string& xauthority, const std::string& type = "normal") {
    apps.push_back(std::make_unique<AppAsUser>(xvfb->displayName(), uid, xauthority, type));
    ASSERT_TRUE(apps.back()->waitReady()) << "application of uid " << uid;
  }

  void launchAgent() { agent = e2e::launchAgent(xvfb->displayName(), {}, recorder, deadlineMs); }

  // The next report, or an empty optional when none comes in time.
  std::optional<agentmsg::DesktopUidChanged> nextReport() {
    if (!agent->waitForMsg("desktopUidChanged", deadlineMs))
      return std::nullopt;
    return recorder.reports.back();
  }

  // A session starting on the display: the monitor looks again.
  void announceSessionChange() {
    Display* dpy = XOpenDisplay(xvfb->displayName().c_str());
    ASSERT_NE(dpy, nullptr);
    long window = long(DefaultRootWindow(dpy));
    XChangeProperty(dpy, DefaultRootWindow(dpy), XInternAtom(dpy, "_NET_SUPPORTING_WM_CHECK", False),
                    XA_WINDOW, 32, PropModeReplace, reinterpret_cast<unsigned char*>(&window), 1);
    XCloseDisplay(dpy);
  }

  io::FdSelectManager manager;
  std::unique_ptr<XvfbServer> xvfb;
  // Before the agent and after the server: they end before the server does.
  std::vector<std::unique_ptr<AppAsUser>> apps;
  Recorder recorder;
  std::unique_ptr<agenthost::AgentProcess> agent;
};

TEST_F(DesktopUserTest, TheUserWithMostApplicationsAndTheirAuthorityFileAreReported) {
  startApp(4301, "/tmp/kwo-xauth-4301");
  startApp(4301, "/tmp/kwo-xauth-4301");
  startApp(4302, "/tmp/kwo-xauth-4302", "untyped");
  // Dialogs do not count, however many there are.
  for (int i = 0; i < 3; i++)
    startApp(4303, "/tmp/kwo-xauth-4303", "dialog");
  launchAgent();

  std::optional<agentmsg::DesktopUidChanged> report = nextReport();
  ASSERT_TRUE(report);
  EXPECT_EQ(report->uid, 4301u);
  EXPECT_EQ(report->xauthFile, "/tmp/kwo-xauth-4301");

  // Another user now has more applications, which disagree on their
  // authority file: the user is reported without one.
  startApp(4302, "/tmp/kwo-xauth-4302");
  startApp(4302, "/tmp/kwo-xauth-4302-other");
  announceSessionChange();
  report = nextReport();
  ASSERT_TRUE(report);
  EXPECT_EQ(report->uid, 4302u);
  EXPECT_EQ(report->xauthFile, "");
}

TEST_F(DesktopUserTest, AnAuthorityFileNameTooLongForTheMessageIsNotCut) {
  std::string longName = "/tmp/" + std::string(300, 'x');
  startApp(4304, longName);
  pid_t appPid = apps.back()->pid();
  launchAgent();
  std::optional<agentmsg::DesktopUidChanged> report = nextReport();
  ASSERT_TRUE(report);
  EXPECT_EQ(report->uid, 4304u);
  EXPECT_EQ(report->xauthFile, "");
  EXPECT_TRUE(agent->waitUntil(
    [&] {
      return recorder.hasLog("DesktopUidMonitor",
                             "Ignoring XAUTHORITY of process " + std::to_string(appPid) +
                               ": longer than 255 bytes");
    },
    deadlineMs))
    << [&] {
         std::string all;
         for (const agentmsg::LogMsg& log : recorder.logs)
           all += log.source + ": " + log.text + "\n";
         return all;
       }();
}

} // namespace
} // namespace e2e
