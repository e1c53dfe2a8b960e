// Viewer input through the agent binary, seen from an application window:
// keys arrive as typed characters, pointer events move the pointer (clamped
// to the screen) and click, and the pointer moved by somebody at the
// desktop is reported back.

#include "AgentTestPeer.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

namespace e2e {
namespace {

class InputTest : public AgentTest {
protected:
  void SetUp() override {
    startXvfb();
    dpy = XOpenDisplay(display.c_str());
    XSetWindowAttributes attrs{};
    attrs.override_redirect = True;
    attrs.event_mask = KeyPressMask | ButtonPressMask;
    Window win = XCreateWindow(dpy, DefaultRootWindow(dpy), 0, 0, 400, 300, 0, CopyFromParent,
                               InputOutput, CopyFromParent, CWOverrideRedirect | CWEventMask, &attrs);
    XMapWindow(dpy, win);
    XSetInputFocus(dpy, win, RevertToParent, CurrentTime);
    XSync(dpy, False);
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

  // Pumps the agent's messages and the window's events until `condition`.
  bool untilSeen(const std::function<bool()>& condition) {
    return until([&] {
      while (XPending(dpy)) {
        XEvent event;
        XNextEvent(dpy, &event);
        if (event.type == ButtonPress)
          buttons.push_back(event.xbutton.button);
        char text[16];
        if (event.type == KeyPress)
          typed.append(text, size_t(std::max(0, XLookupString(&event.xkey, text, 16, nullptr, nullptr))));
      }
      return condition();
    });
  }

  rfb::Point pointer() {
    Window root, child;
    int x = -1, y = -1, winX, winY;
    unsigned mask;
    XQueryPointer(dpy, DefaultRootWindow(dpy), &root, &child, &x, &y, &winX, &winY, &mask);
    return rfb::Point(x, y);
  }

  Display* dpy = nullptr;
  std::string typed;
  std::vector<unsigned> buttons;
};

TEST_F(InputTest, KeysArriveAsTypedCharactersAndThePointerMovesAndClicks) {
  const std::string text = "Hello, World! 42";
  for (char c : text + "\r") {
    uint32_t keysym = c == '\r' ? XK_Return : uint32_t(static_cast<unsigned char>(c));
    agent->send(agentmsg::KeyEvent{keysym, true});
    agent->send(agentmsg::KeyEvent{keysym, false});
  }
  EXPECT_TRUE(untilSeen([&] { return typed.size() >= text.size() + 1; }));
  EXPECT_EQ(typed, text + "\r");

  agent->send(agentmsg::PointerEvent{123, 145, 0, false});
  EXPECT_TRUE(untilSeen([&] { return pointer() == rfb::Point(123, 145); }));
  for (uint32_t mask : {1u, 0u, 4u, 0u})
    agent->send(agentmsg::PointerEvent{123, 145, mask, false});
  EXPECT_TRUE(untilSeen([&] { return buttons.size() >= 2; }));
  EXPECT_EQ(buttons, (std::vector<unsigned>{1, 3}));
  // Absolute positions off the screen are clamped to it.
  agent->send(agentmsg::PointerEvent{5000, -20, 0, false});
  EXPECT_TRUE(untilSeen([&] { return pointer() == rfb::Point(1023, 0); }));
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
