// gtest first: Xlib's macros (None, Bool) break its headers.
#include <gtest/gtest.h>

#include "uilibs/tx/ErrorCatcher.h"
#include "uilibs/tx/XdamageFns.h"
#include "uilibs/tx/XfixesFns.h"
#include "uilibs/tx/XrandrFns.h"

#include "XTestHelpers.h"

namespace {

// The wrappers find their libraries at run time and reach the functions
// they name.
TEST(ExtensionFns, LoadedAndCallable) {
  Display* dpy = txtest::toolkitDisplay();
  int event = 0, error = 0, major = 0, minor = 0;
  EXPECT_TRUE(tx::XDamageQueryExtension(dpy, &event, &error));
  EXPECT_TRUE(tx::XDamageQueryVersion(dpy, &major, &minor));
  EXPECT_GE(major, 1);
  EXPECT_TRUE(tx::XFixesQueryExtension(dpy, &event, &error));
  EXPECT_TRUE(tx::XFixesQueryVersion(dpy, &major, &minor));
  EXPECT_GE(major, 2);
  EXPECT_TRUE(tx::XRRQueryExtension(dpy, &event, &error));
  EXPECT_TRUE(tx::XRRQueryVersion(dpy, &major, &minor));
  EXPECT_GE(major * 100 + minor, 102);

  tx::ErrorCatcher catcher(100);
  Damage damage = tx::XDamageCreate(dpy, tx::rootWindow(), XDamageReportRawRectangles);
  tx::XDamageSubtract(dpy, damage, None, None);
  tx::XDamageDestroy(dpy, damage);
  XRRScreenResources* resources = tx::XRRGetScreenResources(dpy, tx::rootWindow());
  ASSERT_NE(resources, nullptr);
  ASSERT_GE(resources->ncrtc, 1);
  XRRCrtcInfo* crtc = tx::XRRGetCrtcInfo(dpy, resources, resources->crtcs[0]);
  ASSERT_NE(crtc, nullptr);
  EXPECT_EQ(int(crtc->width), DisplayWidth(dpy, DefaultScreen(dpy)));
  tx::XRRFreeCrtcInfo(crtc);
  tx::XRRFreeScreenResources(resources);
  EXPECT_NO_THROW(catcher.check("extension calls"));
}

} // namespace
