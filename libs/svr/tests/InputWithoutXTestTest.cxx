// On a server without XTEST, key events are dropped before anything is
// asked of the server or of the key interpreter. (The pointer asks the same
// availability.)

#include "libs/svr/tests/InputTestSupport.h"

#include "libs/svr/SKeyboardX11.h"
#include "libs/svr/XTestAvailability.h"

#include "base/plat/TimerManager.h"
#include "testsupport/XvfbServer.h"

#include <X11/keysym.h>

namespace {

TEST(InputWithoutXTest, KeyEventsAreDropped) {
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
  svr::XTestAvailability::forget();
}

} // namespace
