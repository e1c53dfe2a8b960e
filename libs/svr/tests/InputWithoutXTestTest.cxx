// On a server without XTEST, key and pointer events are dropped before
// anything is asked of the server or of the key interpreter.

#include "libs/svr/tests/InputTestSupport.h"

#include "libs/svr/SKeyboardX11.h"
#include "libs/svr/SPointerX11.h"
#include "libs/svr/XTestAvailability.h"

#include "base/plat/TimerManager.h"
#include "testsupport/XvfbServer.h"

#include <X11/keysym.h>

namespace {

class InputWithoutXTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    testsupport::XvfbServer::Options options;
    options.disabledExtensions = {"XTEST"};
    server_ = std::make_unique<testsupport::XvfbServer>(options);
  }
  static void TearDownTestSuite() { server_.reset(); }

  void SetUp() override { svr::XTestAvailability::forget(); }
  void TearDown() override { svr::XTestAvailability::forget(); }

  static rfb::Point realPointer(Display* dpy) {
    const auto [x, y] = svrtest::pointerOf(dpy);
    return rfb::Point(x, y);
  }

  static std::unique_ptr<testsupport::XvfbServer> server_;
  plat::TimerManager timers_{true};
};

std::unique_ptr<testsupport::XvfbServer> InputWithoutXTest::server_;

TEST_F(InputWithoutXTest, KeyEventsAreDropped) {
  svrtest::Connection dpy = svrtest::connect(server_->displayName());
  svr::SKeyboardX11 keyboard(dpy.get());
  keyboard.keyEvent(XK_a, true);
  EXPECT_TRUE(svr::XTestAvailability::queried());
  EXPECT_FALSE(svr::XTestAvailability::present(dpy.get()));
  EXPECT_EQ(keyboard.interpreter().pressedKeyCount(), 0u);
  EXPECT_FALSE(keyboard.isAutoRepeatDisabled());
  EXPECT_FALSE(keyboard.isAutoRepeatTimerRunning());
}

TEST_F(InputWithoutXTest, PointerEventsAreDropped) {
  svrtest::Connection dpy = svrtest::connect(server_->displayName());
  svr::SPointerX11 pointer(dpy.get());
  const rfb::Point before = realPointer(dpy.get());
  const rfb::Point target(before.x / 2 + 1, before.y / 2 + 1);
  pointer.pointerEvent(target, 1, false);
  XSync(dpy.get(), False);
  EXPECT_EQ(realPointer(dpy.get()), before);
  EXPECT_EQ(pointer.position(), before);
  EXPECT_EQ(pointer.buttonMask(), 0u);
}

} // namespace
