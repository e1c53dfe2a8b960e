// The agent running as root works out whose desktop it is: from the
// windows' processes (started here as other users, each with its own
// XAUTHORITY) or from a user named on the root window, reported in
// "desktopUidChanged".

#include "AgentTestPeer.h"

#include "testsupport/ForkedChild.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <grp.h>
#include <unistd.h>

namespace e2e {
namespace {

class DesktopUserTest : public AgentTest {
protected:
  void SetUp() override {
    if (getuid() != 0)
      GTEST_SKIP() << "the agent watches the desktop user only when it runs as root";
    startXvfb();
    dpy = XOpenDisplay(display.c_str());
  }

  // An application running as `uid` with XAUTHORITY in its environment,
  // and its window naming it in _NET_WM_PID; both end with the test.
  pid_t startApp(uid_t uid, const std::string& xauthority) {
    std::string xauthEntry = "XAUTHORITY=" + xauthority;
    const char* argv[] = {"/bin/sh", "-c", "echo ready; read line", nullptr};
    const char* envp[] = {xauthEntry.c_str(), "PATH=/usr/bin:/bin", nullptr};
    apps.push_back(std::make_unique<testsupport::ForkedChild>([&](int toParent, int fromParent) {
      dup2(fromParent, STDIN_FILENO);
      dup2(toParent, STDOUT_FILENO);
      if (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0)
        return 126;
      execve(argv[0], const_cast<char**>(argv), const_cast<char**>(envp));
      return 127;
    }));
    // Its user and environment are in place once it says so.
    EXPECT_EQ(apps.back()->readLine(), "ready") << "application of uid " << uid;
    long pid = apps.back()->pid();
    Window window = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, 40, 30, 0, 0, 0);
    Atom normal = XInternAtom(dpy, "_NET_WM_WINDOW_TYPE_NORMAL", False);
    XChangeProperty(dpy, window, XInternAtom(dpy, "_NET_WM_PID", False), XA_CARDINAL, 32,
                    PropModeReplace, reinterpret_cast<unsigned char*>(&pid), 1);
    XChangeProperty(dpy, window, XInternAtom(dpy, "_NET_WM_WINDOW_TYPE", False), XA_ATOM, 32,
                    PropModeReplace, reinterpret_cast<unsigned char*>(&normal), 1);
    XMapWindow(dpy, window);
    XSync(dpy, False);
    return pid_t(pid);
  }

  void setRootProperty(const char* name, Atom type, long value) {
    XChangeProperty(dpy, DefaultRootWindow(dpy), XInternAtom(dpy, name, False), type, 32,
                    PropModeReplace, reinterpret_cast<unsigned char*>(&value), 1);
    XSync(dpy, False);
  }

  void TearDown() override {
    AgentTest::TearDown();
    apps.clear();
    if (dpy)
      XCloseDisplay(dpy);
  }

  Display* dpy = nullptr;
  std::vector<std::unique_ptr<testsupport::ForkedChild>> apps;
};

// The tally itself (dialogs, disagreeing files, the root window's user):
// uilibs/tx's tests; here real processes of other users.
TEST_F(DesktopUserTest, TheUserWithMostApplicationsAndTheirAuthorityFileAreReported) {
  startApp(4301, "/tmp/kwo-xauth-4301");
  startApp(4301, "/tmp/kwo-xauth-4301");
  startApp(4303, "/tmp/kwo-xauth-4303");
  launchAgent();
  ASSERT_TRUE(agent->waitForMsg("desktopUidChanged", deadlineMs));
  EXPECT_EQ(recorder.uids.back(), (agentmsg::DesktopUidChanged{4301, "/tmp/kwo-xauth-4301"}));

  // Another user now has more applications, with an authority file name
  // too long for the message: it is left out, not cut. A session starting
  // on the display makes the agent look again.
  pid_t app = startApp(4304, "/tmp/" + std::string(300, 'x'));
  for (int i = 0; i < 2; i++)
    startApp(4304, "/tmp/" + std::string(300, 'x'));
  setRootProperty("_NET_SUPPORTING_WM_CHECK", XA_WINDOW, long(DefaultRootWindow(dpy)));
  ASSERT_TRUE(agent->waitForMsg("desktopUidChanged", deadlineMs));
  EXPECT_EQ(recorder.uids.back(), (agentmsg::DesktopUidChanged{4304, ""}));
  EXPECT_TRUE(waitForLog("Ignoring XAUTHORITY of process " + std::to_string(app) +
                         ": longer than 255 bytes"));

  // A user named on the root window wins.
  setRootProperty("KWO_DESKTOP_UID", XA_CARDINAL, 4242);
  EXPECT_TRUE(until([&] { return recorder.uids.back().uid == 4242; }));
}

} // namespace
} // namespace e2e
