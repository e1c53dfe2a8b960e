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

// Counts PropertyNotify events of its window and its timer's firings; quits
// the loop with `code` once both were seen (or at the first event, with
// `quitAtEvent`).
struct Watcher : tx::TXEventHandler, plat::Timer::Callback {
  Watcher(tx::TXWindow& window, int code) : window(window), code(code) {
    window.addWindowEventHandler(this, true);
  }
  ~Watcher() override { window.addWindowEventHandler(this, false); }

  void handleEvent(const XEvent& event) override {
    events += event.type == PropertyNotify && event.xproperty.atom == XA_WM_NAME;
    quitWhenDone();
  }
  bool timerFired(plat::Timer&) override {
    timerFirings++;
    quitWhenDone();
    return false;
  }
  void quitWhenDone() {
    if (events > 0 && (timerFirings > 0 || quitAtEvent))
      os::AppLoop::quit(code);
  }

  tx::TXWindow& window;
  int code;
  bool quitAtEvent = false;
  int events = 0, timerFirings = 0;
  plat::Timer timer{*this};
};

// Successive loops, each opening the display and ending with the code given
// to quit, after an X event (from another client, so that it comes through
// the socket) and a timer.
TEST(UiAppLoopTest, DispatchesAnXEventAndATimerInOneRun) {
  testsupport::XvfbServer::shared();
  for (int code : {3, 0}) {
    ui::AppLoop loop;
    ASSERT_NE(tx::display(), nullptr);
    tx::TXWindow window;
    XSync(tx::display(), False);
    Watcher watcher(window, code);
    watcher.timer.start(10);
    Display* other = XOpenDisplay(testsupport::XvfbServer::shared().displayName().c_str());
    ASSERT_NE(other, nullptr);
    XStoreName(other, window.win(), "touched");
    XCloseDisplay(other);
    EXPECT_EQ(loop.run(), code);
    EXPECT_TRUE(watcher.events > 0 && watcher.timerFirings > 0);
    EXPECT_FALSE(loop.isRunning());
  }
}

// A handler that quits while events are still queued: the queued events are
// all dispatched, then the run ends without waiting for more.
TEST(UiAppLoopTest, QuitFromAnEventHandlerEndsTheRunAfterTheQueuedEvents) {
  testsupport::XvfbServer::shared();
  ui::AppLoop loop;
  tx::TXWindow window;
  Watcher quitter(window, 5);
  quitter.quitAtEvent = true;
  for (int i = 0; i < 3; i++)
    XChangeProperty(tx::display(), window.win(), XA_WM_NAME, XA_STRING, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>("x"), 1);
  XSync(tx::display(), False);
  EXPECT_EQ(loop.run(), 5);
  EXPECT_EQ(quitter.events, 3);
}

} // namespace
