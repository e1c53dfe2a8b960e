// Viewer input through the agent binary: pointer events move the pointer
// (clamped to the screen), and the pointer moved by somebody at the desktop
// is reported back. (Keys and buttons: libs/svr's tests, and kwo-serve's
// end-to-end tests type and click from a real viewer.)

#include "AgentTestPeer.h"

#include <X11/Xlib.h>

namespace e2e {
namespace {

class InputTest : public AgentTest {
protected:
  void SetUp() override {
    startXvfb();
    dpy = XOpenDisplay(display.c_str());
    launchAgent();
    startDesktop();
    // The cursor goes out after the pointer watch has read where the pointer
    // is; a move before that would be taken for the starting position.
    ASSERT_TRUE(agent->waitForMsg("setCursorImage", deadlineMs));
  }
  void TearDown() override {
    AgentTest::TearDown();
    XCloseDisplay(dpy);
  }

  rfb::Point pointer() {
    Window root, child;
    int x = -1, y = -1, winX, winY;
    unsigned mask;
    XQueryPointer(dpy, DefaultRootWindow(dpy), &root, &child, &x, &y, &winX, &winY, &mask);
    return rfb::Point(x, y);
  }

  Display* dpy = nullptr;
};

TEST_F(InputTest, ThePointerMovesAndIsClampedToTheScreen) {
  agent->send(agentmsg::PointerEvent{123, 145, 0, false});
  EXPECT_TRUE(until([&] { return pointer() == rfb::Point(123, 145); }));
  // Absolute positions off the screen are clamped to it.
  agent->send(agentmsg::PointerEvent{5000, -20, 0, false});
  EXPECT_TRUE(until([&] { return pointer() == rfb::Point(1023, 0); }));
}

TEST_F(InputTest, PointerMovedAtTheDesktopIsReportedAsLocalInputAndPosition) {
  XWarpPointer(dpy, None, DefaultRootWindow(dpy), 0, 0, 0, 0, 300, 200);
  XSync(dpy, False);
  EXPECT_TRUE(until([&] {
    const auto& seen = recorder.cursorPositions;
    return recorder.localInputs > 0 && std::count(seen.begin(), seen.end(), rfb::Point(300, 200));
  }));
}

} // namespace
} // namespace e2e
