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

TEST(InputWithoutXTest, KeyAndPointerEventsAreDropped) {
  testsupport::XvfbServer::Options options;
  options.disabledExtensions = {"XTEST"};
  testsupport::XvfbServer server(options);
  svr::XTestAvailability::forget();
  plat::TimerManager timers{true};
  svrtest::Connection dpy = svrtest::connect(server.displayName());
  svr::SKeyboardX11 keyboard(dpy.get());
  keyboard.keyEvent(XK_a, true);
  EXPECT_TRUE(svr::XTestAvailability::queried());
  EXPECT_FALSE(svr::XTestAvailability::present(dpy.get()));
  EXPECT_EQ(keyboard.interpreter().pressedKeyCount(), 0u);
  EXPECT_FALSE(keyboard.isAutoRepeatDisabled());

  svr::SPointerX11 pointer(dpy.get());
  const auto before = svrtest::pointerOf(dpy.get());
  pointer.pointerEvent(rfb::Point(before.first / 2 + 1, before.second / 2 + 1), 1, false);
  XSync(dpy.get(), False);
  EXPECT_EQ(svrtest::pointerOf(dpy.get()), before);
  EXPECT_EQ(pointer.position(), rfb::Point(before.first, before.second));
  EXPECT_EQ(pointer.buttonMask(), 0u);
  svr::XTestAvailability::forget();
}

} // namespace
