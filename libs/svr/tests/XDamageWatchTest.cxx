#include "libs/svr/tests/DesktopTestSupport.h"

#include "libs/svr/XDamageWatch.h"
#include "uilibs/tx/PixelBufferX11.h"
#include "uilibs/tx/XdamageFns.h"
#include "uilibs/tx/XfixesFns.h"
#include "testsupport/LogRecorder.h"

#include <algorithm>

namespace {

using svr::XDamageWatch;

struct TestRect {
  short x, y;
  unsigned short width, height;
};

// The conversion itself is rfb::Region's (tested there); here the fields
// as X sends them.
TEST(XDamageWatch, RegionFromRectsTakesEveryRectangleWithUnsignedSizes) {
  // Widths are unsigned 16-bit on the wire; read as signed they would be
  // negative and the area lost. Zero sizes add nothing.
  const TestRect rects[] = {{-10, 5, 40000, 3}, {30, 30, 0, 9}, {0, 20, 4, 2}};
  rfb::Region region = XDamageWatch::regionFromRects(rects, 3);
  rfb::Region expected(rfb::Rect(-10, 5, 32767, 8));
  expected.assign_union(rfb::Region(rfb::Rect(0, 20, 4, 22)));
  EXPECT_TRUE(region.equals(expected)) << region.print();
}

class XDamageWatchOnScreen : public ::testing::Test {
protected:
  void SetUp() override {
    dpy = svrtest::openSharedDisplay();
    ASSERT_NE(dpy, nullptr);
    int eventBase, errorBase, major, minor;
    ASSERT_TRUE(tx::XFixesQueryExtension(dpy, &eventBase, &errorBase));
    ASSERT_TRUE(tx::XFixesQueryVersion(dpy, &major, &minor));
    ASSERT_TRUE(tx::XDamageQueryExtension(dpy, &eventBase, &errorBase));
    ASSERT_TRUE(tx::XDamageQueryVersion(dpy, &major, &minor));
  }

  // Collects until `wanted` is covered; the union of what came.
  rfb::Region collectUntilCovered(XDamageWatch& watch, const rfb::Region& wanted,
                                  tx::PixelBufferX11* buffer = nullptr) {
    rfb::Region seen;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < end) {
      seen.assign_union(watch.collect(buffer));
      if (wanted.subtract(seen).isEmpty())
        break;
    }
    return seen;
  }

  Display* dpy = nullptr;
  svrtest::Painter painter;
};

TEST_F(XDamageWatchOnScreen, CollectIntoABufferCopiesTheDamagedPixelsAndMarksThemFresh) {
  tx::PixelBufferX11 pb(tx::rootWindow(), nullptr);
  ASSERT_EQ(pb.method(), tx::PixelBufferX11::Method::shmPixmap);
  painter.fill(0, 0, 400, 300, 0x000000);
  pb.grabRegion(rfb::Region(rfb::Rect(0, 0, 400, 300)));
  XDamageWatch watch(dpy, tx::rootWindow());

  // Without a buffer nothing is grabbed.
  painter.fill(8, 8, 8, 8, 0xff0000);
  collectUntilCovered(watch, rfb::Region(rfb::Rect(8, 8, 16, 16)));
  EXPECT_EQ(pb.getPixel(10, 10), 0u);
  EXPECT_TRUE(pb.freshRegion().isEmpty());

  painter.fill(100, 50, 30, 20, 0x00ff00);
  painter.fill(300, 200, 10, 10, 0x0000ff);
  rfb::Region wanted(rfb::Rect(100, 50, 130, 70));
  wanted.assign_union(rfb::Region(rfb::Rect(300, 200, 310, 210)));
  rfb::Region seen = collectUntilCovered(watch, wanted, &pb);
  EXPECT_EQ(pb.getPixel(100, 50), 0x00ff00u);
  EXPECT_EQ(pb.getPixel(129, 69), 0x00ff00u);
  EXPECT_EQ(pb.getPixel(305, 205), 0x0000ffu);
  // Only what was damaged: the rest stays as grabbed.
  EXPECT_EQ(pb.getPixel(99, 50), 0u);
  EXPECT_TRUE(pb.freshRegion().equals(seen)) << pb.freshRegion().print() << " " << seen.print();
}

TEST_F(XDamageWatchOnScreen, ACopyThatFailsStillGivesTheDamage) {
  // A buffer over a window that is gone: its copy fails with an X error.
  // The damage must not be lost with it, nor be marked as grabbed.
  Window window = XCreateSimpleWindow(dpy, tx::rootWindow(), 0, 0, 64, 64, 0, 0, 0);
  tx::PixelBufferX11 pb(window, nullptr);
  ASSERT_EQ(pb.method(), tx::PixelBufferX11::Method::shmPixmap);
  XDestroyWindow(dpy, window);
  XSync(dpy, False);
  XDamageWatch watch(dpy, tx::rootWindow());
  testsupport::LogRecorder recorder("XDamageWatch", 0);
  painter.fill(20, 20, 8, 8, 0x00ffff);
  rfb::Region seen = collectUntilCovered(watch, rfb::Region(rfb::Rect(20, 20, 28, 28)), &pb);
  EXPECT_TRUE(rfb::Region(rfb::Rect(20, 20, 28, 28)).subtract(seen).isEmpty()) << seen.print();
  EXPECT_TRUE(pb.freshRegion().isEmpty());
  std::vector<std::string> errors = recorder.texts("XDamageWatch");
  EXPECT_TRUE(std::any_of(errors.begin(), errors.end(), [](const std::string& text) {
    return text.rfind("Fetching damage: ", 0) == 0;
  })) << errors.size() << " errors logged";
}

} // namespace
