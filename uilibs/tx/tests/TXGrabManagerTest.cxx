#include "XTestHelpers.h"

#include "uilibs/tx/TXGrabManager.h"
#include "uilibs/tx/TXWindow.h"

#include "base/plat/Configuration.h"

#include <memory>

namespace {

using txtest::RecordingHandler;
using txtest::TestClient;

class TXGrabManagerTest : public ::testing::Test {
protected:
  void SetUp() override { txtest::toolkitDisplay(); }
  void TearDown() override { setNoGrab(false); }

  static void setNoGrab(bool on) {
    plat::Configuration::global().setParam("_NoGrab", on ? "1" : "0", 10);
  }

  // A mapped top-level toolkit window at (x, y).
  static std::unique_ptr<tx::TXWindow> mappedWindow(int x, int y) {
    auto window = std::make_unique<tx::TXWindow>(50, 50);
    window->addEventMask(StructureNotifyMask);
    XMoveWindow(tx::display(), window->win(), x, y);
    window->map();
    tx::TXWindow* raw = window.get();
    EXPECT_TRUE(txtest::pumpUntil([raw] { return raw->mapped(); }));
    return window;
  }

  // A pointer or key event at (x, y) of `window`, dispatched.
  static void dispatch(int type, const tx::TXWindow& window, int x = 0, int y = 0,
                       unsigned int state = 0) {
    XEvent event{};
    event.type = type;
    event.xbutton.display = tx::display();
    event.xbutton.window = window.win();
    event.xbutton.x = x;
    event.xbutton.y = y;
    event.xbutton.state = state;
    tx::TXEventDispatcher::handleEvent(event);
  }

  // Whether another client could grab the pointer and the keyboard.
  static std::pair<bool, bool> otherClientCanGrab(TestClient& client) {
    XSync(tx::display(), False);
    Window window = client.createWindow(0, 0, 0, 5, 5);
    XMapWindow(client.dpy(), window);
    XSync(client.dpy(), False);
    bool pointer = XGrabPointer(client.dpy(), window, False, ButtonPressMask, GrabModeAsync,
                                GrabModeAsync, None, None, CurrentTime) == GrabSuccess;
    bool keyboard = XGrabKeyboard(client.dpy(), window, False, GrabModeAsync, GrabModeAsync,
                                  CurrentTime) == GrabSuccess;
    XUngrabPointer(client.dpy(), CurrentTime);
    XUngrabKeyboard(client.dpy(), CurrentTime);
    XDestroyWindow(client.dpy(), window);
    XSync(client.dpy(), False);
    return {pointer, keyboard};
  }
};

TEST_F(TXGrabManagerTest, PointerEventsOfOtherWindowsGoToTheGrabbingWindow) {
  setNoGrab(true);
  auto grabbing = mappedWindow(100, 100);
  auto other = mappedWindow(200, 150);
  RecordingHandler atGrabbing, atOther;
  grabbing->addWindowEventHandler(&atGrabbing, true);
  other->addWindowEventHandler(&atOther, true);
  grabbing->setGrab(true, false);
  EXPECT_EQ(tx::TXGrabManager::pointerGrabber(), grabbing.get());

  dispatch(ButtonPress, *other, 5, 6);
  ASSERT_EQ(atGrabbing.events.size(), 1u);
  EXPECT_TRUE(atOther.events.empty());
  // (200 + 5, 150 + 6) on the screen is (105, 56) in the grabbing window.
  const XButtonEvent& moved = atGrabbing.events[0].xbutton;
  EXPECT_TRUE(moved.window == grabbing->win() && moved.x == 105 && moved.y == 56);

  // Motion without a button held is not taken by the grab.
  dispatch(MotionNotify, *other, 1, 1);
  EXPECT_EQ(atOther.events.size(), 1u);
  dispatch(MotionNotify, *other, 1, 1, Button1Mask);
  EXPECT_EQ(atGrabbing.events.size(), 2u);

  // No window holds the keyboard, but a grab is in force: keys are dropped.
  dispatch(KeyPress, *other);
  EXPECT_EQ(atOther.events.size(), 1u);
  EXPECT_EQ(atGrabbing.events.size(), 2u);

  // Without any grab, events reach their own window again.
  grabbing->setGrab(false, false);
  EXPECT_EQ(tx::TXGrabManager::pointerGrabber(), nullptr);
  dispatch(KeyPress, *other);
  EXPECT_EQ(atOther.events.size(), 2u);
}

TEST_F(TXGrabManagerTest, NewestMappedRequesterGrabs) {
  setNoGrab(true);
  auto first = mappedWindow(0, 0);
  auto second = mappedWindow(60, 0);
  first->setGrab(false, true);
  second->setGrab(false, true);
  EXPECT_EQ(tx::TXGrabManager::keyboardGrabber(), second.get());
  second->unmap();
  tx::TXWindow* raw = second.get();
  ASSERT_TRUE(txtest::pumpUntil([raw] { return !raw->mapped(); }));
  EXPECT_EQ(tx::TXGrabManager::keyboardGrabber(), first.get());
  first.reset();
  EXPECT_EQ(tx::TXGrabManager::keyboardGrabber(), nullptr);
}

TEST_F(TXGrabManagerTest, GrabbingWindowsHoldTheServerGrabsUnlessNoGrab) {
  TestClient client;
  using Grabs = std::pair<bool, bool>;
  auto pointer = mappedWindow(10, 10);
  auto keyboard = mappedWindow(70, 10);
  pointer->setGrab(true, false);
  EXPECT_EQ(otherClientCanGrab(client), (Grabs{false, true}));
  keyboard->setGrab(false, true);
  EXPECT_EQ(otherClientCanGrab(client), (Grabs{false, false}));
  keyboard->setGrab(false, false);
  EXPECT_EQ(otherClientCanGrab(client), (Grabs{false, true}));
  pointer.reset();
  EXPECT_EQ(otherClientCanGrab(client), (Grabs{true, true}));

  setNoGrab(true);
  keyboard->setGrab(true, true);
  EXPECT_EQ(otherClientCanGrab(client), (Grabs{true, true}));
  keyboard->setGrab(false, false);
}

} // namespace
