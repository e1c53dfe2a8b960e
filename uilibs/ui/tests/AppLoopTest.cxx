// GoogleTest first: Xlib's macros (None, Bool) break its headers.
#include <gtest/gtest.h>

#include "uilibs/ui/AppLoop.h"

#include "uilibs/tx/TXEventDispatcher.h"
#include "uilibs/tx/TXUtil.h"
#include "uilibs/tx/TXWindow.h"

#include "base/plat/Timer.h"
#include "testsupport/XvfbServer.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace {

// Quits the loop with `code` once it has seen both a PropertyNotify of its
// window and its timer.
class Watcher : public tx::TXEventHandler, public plat::Timer::Callback {
public:
  Watcher(tx::TXWindow& window, int code) : window_(window), timer_(*this), code_(code) {
    window_.addWindowEventHandler(this, true);
  }
  ~Watcher() override { window_.addWindowEventHandler(this, false); }

  void startTimer(int ms) { timer_.start(ms); }

  void handleEvent(const XEvent& event) override {
    if (event.type == PropertyNotify && event.xproperty.atom == XA_WM_NAME)
      sawEvent = true;
    quitWhenDone();
  }
  bool timerFired(plat::Timer&) override {
    sawTimer = true;
    quitWhenDone();
    return false;
  }

  bool sawEvent = false;
  bool sawTimer = false;

private:
  void quitWhenDone() {
    if (sawEvent && sawTimer)
      os::AppLoop::quit(code_);
  }

  tx::TXWindow& window_;
  plat::Timer timer_;
  int code_;
};

// Another client touches a property of `window` so that its PropertyNotify
// reaches the loop through the socket, not through a queue filled by us.
void touchFromOtherClient(Window window) {
  Display* other = XOpenDisplay(testsupport::XvfbServer::shared().displayName().c_str());
  ASSERT_NE(other, nullptr);
  XStoreName(other, window, "touched");
  XCloseDisplay(other);
}

class UiAppLoopTest : public ::testing::Test {
protected:
  void SetUp() override { testsupport::XvfbServer::shared(); }
};

// Successive loops, each ending with the code given to quit.
TEST_F(UiAppLoopTest, OpensTheDisplayAndDispatchesAnXEventAndATimerInOneRun) {
  for (int code : {3, 0}) {
    SCOPED_TRACE(code);
    ui::AppLoop loop;
    ASSERT_NE(tx::display(), nullptr);
    tx::TXWindow window;
    XSync(tx::display(), False);
    Watcher watcher(window, code);
    watcher.startTimer(10);
    touchFromOtherClient(window.win());
    EXPECT_EQ(loop.run(), code);
    EXPECT_TRUE(watcher.sawEvent);
    EXPECT_TRUE(watcher.sawTimer);
    EXPECT_FALSE(loop.isRunning());
  }
}

// A handler that quits while events are still queued: the queued events are
// all dispatched, then the run ends without waiting for more.
TEST_F(UiAppLoopTest, QuitFromAnEventHandlerEndsTheRunAfterTheQueuedEvents) {
  ui::AppLoop loop;
  tx::TXWindow window;
  struct QuitOnFirst : tx::TXEventHandler {
    int calls = 0;
    void handleEvent(const XEvent& event) override {
      if (event.type != PropertyNotify)
        return;
      calls++;
      os::AppLoop::quit(5);
    }
  } quitter;
  window.addWindowEventHandler(&quitter, true);
  for (int i = 0; i < 3; i++)
    XChangeProperty(tx::display(), window.win(), XA_WM_NAME, XA_STRING, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>("x"), 1);
  XSync(tx::display(), False);
  EXPECT_EQ(loop.run(), 5);
  EXPECT_EQ(quitter.calls, 3);
  window.addWindowEventHandler(&quitter, false);
}

} // namespace
