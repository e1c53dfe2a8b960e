// gtest first: Xlib's macros (None, Bool) break its headers.
#include <gtest/gtest.h>

#include "uilibs/tx/ErrorCatcher.h"
#include "uilibs/tx/XdamageFns.h"
#include "uilibs/tx/XfixesFns.h"
#include "uilibs/tx/XrandrFns.h"

#include "XTestHelpers.h"

#include <memory>
#include <string>

namespace {

struct Presence {
  bool damage;
  bool fixes;
  bool randr;
};

Presence query(Display* dpy) {
  int event = 0, error = 0;
  Presence presence;
  presence.damage = tx::XDamageQueryExtension(dpy, &event, &error);
  presence.fixes = tx::XFixesQueryExtension(dpy, &event, &error);
  presence.randr = tx::XRRQueryExtension(dpy, &event, &error);
  return presence;
}

TEST(ExtensionFns, PresentOnAPlainServer) {
  Display* dpy = txtest::toolkitDisplay();
  Presence presence = query(dpy);
  EXPECT_TRUE(presence.damage);
  EXPECT_TRUE(presence.fixes);
  EXPECT_TRUE(presence.randr);

  int major = 0, minor = 0;
  EXPECT_TRUE(tx::XDamageQueryVersion(dpy, &major, &minor));
  EXPECT_GE(major, 1);
  EXPECT_TRUE(tx::XFixesQueryVersion(dpy, &major, &minor));
  EXPECT_GE(major, 2);
  EXPECT_TRUE(tx::XRRQueryVersion(dpy, &major, &minor));
  EXPECT_GE(major * 100 + minor, 102);
}

TEST(ExtensionFns, AbsentWhereTheServerDisablesThem) {
  struct Case {
    const char* extension;
    Presence expected;
  };
  const Case cases[] = {
    {"DAMAGE", {false, true, true}},
    {"XFIXES", {true, false, true}},
    {"RANDR", {true, true, false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.extension);
    testsupport::XvfbServer::Options options;
    options.width = 320;
    options.height = 200;
    options.disabledExtensions = {c.extension};
    testsupport::XvfbServer server(options);
    txtest::Connection dpy = txtest::connect(server.displayName());
    ASSERT_TRUE(dpy) << server.log();
    Presence presence = query(dpy.get());
    // libXrandr never frees the data it keeps per connection when that
    // connection closes; left open, the data stays reachable from the
    // library's own list and the leak checker stays quiet. The server goes
    // away underneath it, but nothing uses the connection again.
    (void)dpy.release();
    EXPECT_EQ(presence.damage, c.expected.damage);
    EXPECT_EQ(presence.fixes, c.expected.fixes);
    EXPECT_EQ(presence.randr, c.expected.randr);
  }
}

TEST(ExtensionFns, FixesRegionsRoundTrip) {
  Display* dpy = txtest::toolkitDisplay();
  XRectangle rects[2] = {{10, 20, 30, 40}, {100, 100, 5, 5}};
  XserverRegion region = tx::XFixesCreateRegion(dpy, rects, 2);
  int count = 0;
  XRectangle bounds;
  std::unique_ptr<XRectangle, int (*)(void*)> fetched(
    tx::XFixesFetchRegionAndBounds(dpy, region, &count, &bounds), XFree);
  tx::XFixesDestroyRegion(dpy, region);
  ASSERT_EQ(count, 2);
  EXPECT_EQ(bounds.x, 10);
  EXPECT_EQ(bounds.y, 20);
  EXPECT_EQ(bounds.width, 95);
  EXPECT_EQ(bounds.height, 85);
}

TEST(ExtensionFns, DamageObjectsCanBeMadeAndDropped) {
  Display* dpy = txtest::toolkitDisplay();
  tx::ErrorCatcher catcher(100);
  Damage damage = tx::XDamageCreate(dpy, tx::rootWindow(), XDamageReportRawRectangles);
  EXPECT_NE(damage, Damage(0));
  tx::XDamageSubtract(dpy, damage, None, None);
  tx::XDamageDestroy(dpy, damage);
  EXPECT_NO_THROW(catcher.check("damage"));
}

TEST(ExtensionFns, RandrListsTheScreen) {
  Display* dpy = txtest::toolkitDisplay();
  XRRScreenResources* resources = tx::XRRGetScreenResources(dpy, tx::rootWindow());
  ASSERT_NE(resources, nullptr);
  EXPECT_GE(resources->noutput, 1);
  EXPECT_GE(resources->ncrtc, 1);
  XRRCrtcInfo* crtc = tx::XRRGetCrtcInfo(dpy, resources, resources->crtcs[0]);
  ASSERT_NE(crtc, nullptr);
  EXPECT_EQ(int(crtc->width), DisplayWidth(dpy, DefaultScreen(dpy)));
  tx::XRRFreeCrtcInfo(crtc);
  tx::XRRFreeScreenResources(resources);
}

} // namespace
