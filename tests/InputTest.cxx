// Viewer input through the agent binary, seen from a server built on
// libs/agenthost and from an application window on a private X server: keys
// arrive as typed characters, pointer events move the pointer and click,
// and the pointer moved by somebody at the desktop is reported back. As
// root, the desktop user named on the root window is reported too.

#include "base/io/FdSelectManager.h"
#include "libs/agenthost/AgentProcess.h"
#include "libs/agentmsg/ToAgentMsgs.h"
#include "tests/LaunchedAgent.h"
#include "testsupport/XvfbServer.h"

#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace e2e {
namespace {

using agenthost::AgentProcess;
using testsupport::XvfbServer;

constexpr int deadlineMs = 60000;

struct Recorder : agenthost::FromAgentHandler {
  std::vector<rfb::Point> cursorPositions;
  int localInputs = 0;
  std::vector<uint32_t> desktopUids;

  void setCursorPos(const agentmsg::SetCursorPos& msg) override {
    cursorPositions.emplace_back(msg.x, msg.y);
  }
  void localInput(const agentmsg::LocalInput&) override { localInputs++; }
  void desktopUidChanged(const agentmsg::DesktopUidChanged& msg) override {
    desktopUids.push_back(msg.uid);
  }
};

// An application with one top-level window at (0, 0) that takes the focus
// and records the text typed into it and the buttons pressed on it.
class TestWindow {
public:
  explicit TestWindow(const std::string& display) : dpy_(XOpenDisplay(display.c_str())) {
    if (!dpy_)
      throw std::runtime_error("cannot open " + display);
    XSetWindowAttributes attrs{};
    attrs.override_redirect = True;
    attrs.event_mask = KeyPressMask | ButtonPressMask | StructureNotifyMask;
    win_ = XCreateWindow(dpy_, DefaultRootWindow(dpy_), 0, 0, 400, 300, 0, CopyFromParent,
                         InputOutput, CopyFromParent, CWOverrideRedirect | CWEventMask, &attrs);
    XMapWindow(dpy_, win_);
    XSync(dpy_, False);
  }
  ~TestWindow() {
    XDestroyWindow(dpy_, win_);
    XCloseDisplay(dpy_);
  }
  TestWindow(const TestWindow&) = delete;
  TestWindow& operator=(const TestWindow&) = delete;

  Display* dpy() const { return dpy_; }
  Window root() const { return DefaultRootWindow(dpy_); }
  bool mapped() const { return mapped_; }
  const std::string& typed() const { return typed_; }
  const std::vector<unsigned>& buttons() const { return buttons_; }

  void focus() {
    XSetInputFocus(dpy_, win_, RevertToParent, CurrentTime);
    XSync(dpy_, False);
  }

  // Handles whatever the server has sent so far.
  void drain() {
    while (XPending(dpy_)) {
      XEvent event;
      XNextEvent(dpy_, &event);
      if (event.type == MapNotify)
        mapped_ = true;
      if (event.type == ButtonPress)
        buttons_.push_back(event.xbutton.button);
      if (event.type == KeyPress) {
        char text[16];
        KeySym keysym = 0;
        int n = XLookupString(&event.xkey, text, sizeof(text), &keysym, nullptr);
        typed_.append(text, size_t(std::max(n, 0)));
      }
    }
  }

  rfb::Point pointer() {
    Window rootReturn, child;
    int rootX = -1, rootY = -1, winX, winY;
    unsigned mask;
    XQueryPointer(dpy_, root(), &rootReturn, &child, &rootX, &rootY, &winX, &winY, &mask);
    return rfb::Point(rootX, rootY);
  }

  void warpPointer(int x, int y) {
    XWarpPointer(dpy_, None, root(), 0, 0, 0, 0, x, y);
    XSync(dpy_, False);
  }

  void setRootCardinal(const char* name, unsigned long value) {
    Atom atom = XInternAtom(dpy_, name, False);
    XChangeProperty(dpy_, root(), atom, XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&value), 1);
    XSync(dpy_, False);
  }

private:
  Display* dpy_;
  Window win_ = 0;
  bool mapped_ = false;
  std::string typed_;
  std::vector<unsigned> buttons_;
};

class InputTest : public testing::Test {
protected:
  void SetUp() override {
    xvfb = std::make_unique<XvfbServer>();
    window = std::make_unique<TestWindow>(xvfb->displayName());
    agent = e2e::launchAgent(xvfb->displayName(), {}, recorder, deadlineMs);
    ASSERT_TRUE(until([&] { return window->mapped(); }));
    window->focus();
    agent->send(agentmsg::Start{});
    ASSERT_TRUE(agent->waitForMsg("setPixelBuffer", deadlineMs));
    // The cursor goes out after the pointer watch has read where the pointer
    // is; a move before that would be taken for the starting position.
    ASSERT_TRUE(agent->waitForMsg("setCursorImage", deadlineMs));
  }

  void TearDown() override {
    // The agent goes before its X server.
    agent.reset();
    window.reset();
  }

  // Pumps the agent's messages and the window's events until `condition`.
  template <class Condition>
  bool until(Condition condition) {
    return agent->waitUntil(
        [&] {
          window->drain();
          return condition();
        },
        deadlineMs);
  }

  void type(uint32_t keysym) {
    agent->send(agentmsg::KeyEvent{keysym, true});
    agent->send(agentmsg::KeyEvent{keysym, false});
  }

  io::FdSelectManager manager;
  std::unique_ptr<XvfbServer> xvfb;
  std::unique_ptr<TestWindow> window;
  Recorder recorder;
  std::unique_ptr<AgentProcess> agent;
};

TEST_F(InputTest, TypedKeysArriveAsCharactersInTheFocusedWindow) {
  const std::string text = "Hello, World! 42";
  for (char c : text)
    type(uint32_t(static_cast<unsigned char>(c)));
  type(XK_Return);
  EXPECT_TRUE(until([&] { return window->typed().size() >= text.size() + 1; }));
  EXPECT_EQ(window->typed(), text + "\r");
}

TEST_F(InputTest, PointerEventsMoveThePointerAndClick) {
  agent->send(agentmsg::PointerEvent{123, 145, 0, false});
  EXPECT_TRUE(until([&] { return window->pointer() == rfb::Point(123, 145); }))
      << "pointer at " << window->pointer().x << "," << window->pointer().y;

  agent->send(agentmsg::PointerEvent{123, 145, 1, false});
  agent->send(agentmsg::PointerEvent{123, 145, 0, false});
  agent->send(agentmsg::PointerEvent{123, 145, 4, false});
  agent->send(agentmsg::PointerEvent{123, 145, 0, false});
  EXPECT_TRUE(until([&] { return window->buttons().size() >= 2; }));
  EXPECT_EQ(window->buttons(), (std::vector<unsigned>{1, 3}));
}

TEST_F(InputTest, AbsolutePositionsOffTheScreenAreClampedToIt) {
  agent->send(agentmsg::PointerEvent{5000, -20, 0, false});
  EXPECT_TRUE(until([&] { return window->pointer() == rfb::Point(1023, 0); }))
      << "pointer at " << window->pointer().x << "," << window->pointer().y;
}

TEST_F(InputTest, PointerMovedAtTheDesktopIsReportedAsLocalInputAndPosition) {
  window->warpPointer(300, 200);
  EXPECT_TRUE(until([&] { return recorder.localInputs > 0; }));
  EXPECT_TRUE(until([&] {
    return std::count(recorder.cursorPositions.begin(), recorder.cursorPositions.end(),
                      rfb::Point(300, 200)) > 0;
  }));
}

TEST_F(InputTest, DesktopUserNamedOnTheRootWindowIsReported) {
  if (::getuid() != 0)
    GTEST_SKIP() << "the agent watches the desktop user only when it runs as root";
  // The first check reports whatever it finds; the property must win after.
  ASSERT_TRUE(until([&] { return !recorder.desktopUids.empty(); }));
  window->setRootCardinal("KWO_DESKTOP_UID", 4242);
  EXPECT_TRUE(until([&] { return recorder.desktopUids.back() == 4242; }));
}

} // namespace
} // namespace e2e
