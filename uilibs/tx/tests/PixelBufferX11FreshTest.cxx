// gtest first: Xlib's macros (None, Bool) break its headers.
#include <gtest/gtest.h>

#include "uilibs/tx/PixelBufferX11.h"
#include "uilibs/tx/XfixesFns.h"

#include "GrabPicture.h"
#include "GrabServer.h"

#include "base/plat/Configuration.h"

#include <X11/Xlib.h>

#include <memory>
#include <vector>

// Grabs done in the same round trip as the damage fetch: the copy under an
// X server region, and the fresh area that the next grab leaves out.

namespace {

using grabtest::inRegion;
using grabtest::inServer;
using grabtest::Painter;
using grabtest::pixelsMatch;
using grabtest::ServerKind;
using Method = tx::PixelBufferX11::Method;
using rfb::Rect;
using rfb::Region;

// An XFIXES region on the server holding `rects`, destroyed with the object.
class ServerRegion {
public:
  explicit ServerRegion(const std::vector<Rect>& rects) {
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    EXPECT_TRUE(tx::XFixesQueryExtension(tx::display(), &eventBase, &errorBase));
    EXPECT_TRUE(tx::XFixesQueryVersion(tx::display(), &major, &minor));
    std::vector<XRectangle> xrects;
    for (const Rect& r : rects)
      xrects.push_back({short(r.tl.x), short(r.tl.y), (unsigned short)r.width(),
                        (unsigned short)r.height()});
    id_ = tx::XFixesCreateRegion(tx::display(), xrects.data(), int(xrects.size()));
  }
  ~ServerRegion() { tx::XFixesDestroyRegion(tx::display(), id_); }
  ServerRegion(const ServerRegion&) = delete;
  ServerRegion& operator=(const ServerRegion&) = delete;
  unsigned long id() const { return id_; }

private:
  unsigned long id_ = 0;
};

std::unique_ptr<tx::PixelBufferX11> makeBuffer(Method fastest, const Rect& rect = Rect()) {
  return std::make_unique<tx::PixelBufferX11>(DefaultRootWindow(tx::display()), nullptr, rect,
                                              fastest);
}

Region regionOf(const std::vector<Rect>& rects) {
  Region region;
  for (const Rect& r : rects)
    region.assign_union(Region(r));
  return region;
}

TEST(PixelBufferX11Fresh, QueuedGrabsAndFreshAreas) {
  inServer(ServerKind::depth24, [] {
    Painter painter;
    // A buffer away from the origin too: the region is in screen
    // coordinates, the pixmap's start at the buffer's corner.
    for (const Rect& bufferRect : {Rect(), Rect(40, 30, 300, 220)}) {
      SCOPED_TRACE(bufferRect.print());
      painter.paintRandom(1);
      auto pb = makeBuffer(Method::shmPixmap, bufferRect);
      ASSERT_EQ(pb->method(), Method::shmPixmap);
      pb->grabRegion(Region(pb->getRect()));
      std::vector<uint32_t> before = painter.snapshot();
      painter.paintRandom(2, 60);
      std::vector<Rect> rects = {Rect(5, 5, 60, 40), Rect(100, 30, 180, 90),
                                 Rect(290, 200, 320, 240)};
      ServerRegion region(rects);
      EXPECT_TRUE(pb->queueGrab(region.id()));
      XSync(tx::display(), False);
      Region copied = regionOf(rects);
      EXPECT_TRUE(pixelsMatch(*pb, [&](int x, int y) {
        return inRegion(copied, x, y) ? painter.at(x, y) : before[size_t(y) * 320 + size_t(x)];
      }));
      // Queueing marks nothing: the caller names what the copy covered.
      EXPECT_TRUE(pb->freshRegion().isEmpty());
    }

    // Only the shared pixmap way queues grabs.
    ServerRegion whole({Rect(0, 0, 320, 240)});
    for (Method fastest : {Method::shmImage, Method::plainImage}) {
      EXPECT_TRUE(plat::Configuration::global().setParam(
        "_UseXShm", fastest == Method::plainImage ? "0" : "1", 10));
      auto pb = makeBuffer(fastest);
      ASSERT_EQ(pb->method(), fastest);
      EXPECT_FALSE(pb->queueGrab(whole.id()));
      XSync(tx::display(), False);
      EXPECT_TRUE(pixelsMatch(*pb, [](int, int) { return 0u; }));
    }
    EXPECT_TRUE(plat::Configuration::global().setParam("_UseXShm", "1", 10));

    // A clip region that leaves pixels out stops queued grabs; one covering
    // the whole buffer (monitors filling the screen) takes nothing away.
    auto pb = makeBuffer(Method::shmPixmap);
    pb->setClipRegion(Region(Rect(0, 0, 160, 240)));
    EXPECT_FALSE(pb->queueGrab(whole.id()));
    XSync(tx::display(), False);
    EXPECT_TRUE(pixelsMatch(*pb, [](int, int) { return 0u; }));
    pb->setClipRegion(Region(Rect(-10, -10, 400, 300)));
    EXPECT_TRUE(pb->queueGrab(whole.id()));
    XSync(tx::display(), False);
    EXPECT_TRUE(pixelsMatch(*pb, [&](int x, int y) { return painter.at(x, y); }));

    // The fresh area is left out of the next grab only.
    std::vector<uint32_t> before = painter.snapshot();
    Region fresh = regionOf({Rect(10, 10, 50, 50), Rect(200, 100, 400, 300)});
    pb->markFresh(fresh);
    EXPECT_TRUE(pb->freshRegion().equals(fresh.intersect(Region(pb->getRect()))));
    painter.paintRandom(3);
    pb->grabRegion(Region(pb->getRect()));
    EXPECT_TRUE(pb->freshRegion().isEmpty());
    EXPECT_TRUE(pixelsMatch(*pb, [&](int x, int y) {
      return inRegion(fresh, x, y) ? before[size_t(y) * 320 + size_t(x)] : painter.at(x, y);
    }));
    pb->grabRegion(Region(pb->getRect()));
    EXPECT_TRUE(pixelsMatch(*pb, [&](int x, int y) { return painter.at(x, y); }));
  });
}

} // namespace
