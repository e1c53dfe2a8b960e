// gtest first: Xlib's macros (None, Bool) break its headers.
#include <gtest/gtest.h>

#include "uilibs/tx/ColourMapX11.h"
#include "uilibs/tx/PixelBufferX11.h"
#include "uilibs/tx/XfixesFns.h"

#include "GrabSupport.h"
#include "XTestHelpers.h"

#include "base/plat/Configuration.h"
#include "base/plat/Exception.h"
#include "base/plat/unix/SharedMemSysV.h"
#include "testsupport/ShmLeaks.h"

#include <sys/shm.h>
#include <unistd.h>

namespace {

using namespace grabtest;
using Method = tx::PixelBufferX11::Method;
using rfb::Rect;
using rfb::Region;

Region regionOf(const std::vector<Rect>& rects) {
  Region region;
  for (const Rect& r : rects)
    region.assign_union(Region(r));
  return region;
}

// `count` separate 2x2 squares in one row.
Region squares(int count) {
  std::vector<Rect> rects;
  for (int i = 0; i < count; i++)
    rects.push_back(Rect::fromXYWH(10 + i * 12, 50, 2, 2));
  return regionOf(rects);
}

TEST(PixelBufferX11Stride, RowsArePaddedToTheScanlinePadAndBadPadsAreRefused) {
  // width, bpp, pad, stride
  for (auto [width, bpp, pad, stride] : std::vector<std::array<int, 4>>{
         {1000, 32, 32, 1000}, {1001, 16, 32, 1002}, {1001, 8, 32, 1004}, {1003, 8, 8, 1003},
         {5, 32, 64, 6}, {0, 32, 32, 0}})
    EXPECT_EQ(tx::PixelBufferX11::strideFor(width, bpp, pad), stride) << width << " " << pad;
  // Not a power of two (48 holds whole 16-bit pixels but is not one), or not
  // whole pixels at a time.
  for (auto [bpp, pad] :
       std::vector<std::pair<int, int>>{{24, 32}, {32, 24}, {32, 16}, {8, 0}, {16, 48}})
    EXPECT_THROW(tx::PixelBufferX11::strideFor(100, bpp, pad), plat::AssertionFail)
      << bpp << " bpp, pad " << pad;
}

TEST(PixelBufferX11GrabArea, ManyRectanglesBecomeTheirBoundingBoxThenClipped) {
  const Region clip = regionOf({Rect(0, 0, 100, 300), Rect(200, 0, 210, 300)});
  const struct {
    const char* name;
    Region region;
    int maxRects;
    Region clip, expected;
  } cases[] = {
    {"21 squares, at most 20", squares(21), 20, {}, Region(squares(21).get_bounding_rect())},
    {"20 squares, at most 20", squares(20), 20, {}, squares(20)},
    {"outside the buffer is dropped", Region(Rect(390, 290, 500, 500)), 20, {},
     Region(Rect(390, 290, 400, 300))},
    {"the clip after the box", squares(21), 20, clip,
     regionOf({Rect(10, 50, 100, 52), Rect(200, 50, 210, 52)})},
    {"the clip without the box", squares(5), 20, Region(Rect(0, 0, 40, 300)), squares(3)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Region got = tx::PixelBufferX11::grabArea(c.region, c.maxRects, Rect(0, 0, 400, 300), c.clip);
    EXPECT_TRUE(got == c.expected) << got.print();
  }
}

std::unique_ptr<tx::PixelBufferX11> makeBuffer(Method fastest, bool useXShm = true,
                                               const Rect& rect = Rect()) {
  EXPECT_TRUE(plat::Configuration::global().setParam("_UseXShm", useXShm ? "1" : "0", 10));
  return std::make_unique<tx::PixelBufferX11>(DefaultRootWindow(tx::display()), nullptr, rect,
                                              fastest);
}

// Every way on every server, one child process per server: what the buffer
// is, and that what it grabs is what the screen shows, where it should.
TEST(PixelBufferX11, EveryWayGrabsWhatTheScreenShows) {
  const char* const f24 = "depth 24 (32 bpp) little-endian rgb888";
  const char* const f16 = "depth 16 (16 bpp) little-endian rgb565";
  const char* const f8 = "depth 8 (8 bpp) colour-map";
  const struct {
    ServerKind server;
    Method fastest;
    bool useXShm;
    Method expected;
    const char* format;
  } ways[] = {
    {ServerKind::depth24, Method::shmPixmap, true, Method::shmPixmap, f24},
    {ServerKind::depth24, Method::shmImage, true, Method::shmImage, f24},
    {ServerKind::depth24, Method::shmPixmap, false, Method::plainImage, f24},
    {ServerKind::noShm, Method::shmPixmap, true, Method::plainImage, f24},
    {ServerKind::depth16, Method::shmPixmap, true, Method::shmPixmap, f16},
    {ServerKind::depth16, Method::shmImage, true, Method::shmImage, f16},
    {ServerKind::depth16, Method::shmPixmap, false, Method::plainImage, f16},
    {ServerKind::depth8, Method::shmPixmap, true, Method::shmPixmap, f8},
    {ServerKind::depth8, Method::shmImage, true, Method::shmImage, f8},
    {ServerKind::depth8, Method::shmPixmap, false, Method::plainImage, f8},
  };
  for (const auto& way : ways) {
    SCOPED_TRACE(testing::Message() << "server " << int(way.server) << ", fastest "
                                    << int(way.fastest) << ", _UseXShm " << way.useXShm);
    inServer(way.server, [&] {
      EXPECT_TRUE(testsupport::sysvSegmentsOf(getpid()).empty());
      Painter painter;
      painter.paintRandom(1);
      auto pb = makeBuffer(way.fastest, way.useXShm);
      EXPECT_EQ(pb->method(), way.expected);
      EXPECT_EQ(pb->getPF().print(), way.format);
      EXPECT_EQ(pb->getColourMap() == nullptr, way.server != ServerKind::depth8);
      plat::SharedMem* shm = pb->getSharedMem();
      EXPECT_EQ(shm->description().at(0), way.expected == Method::plainImage
                                            ? plat::SharedMem::typePosix
                                            : plat::SharedMem::typeSysV);
      EXPECT_EQ(pb->data(), shm->data());
      EXPECT_GE(shm->size(), uint32_t(pb->getStride() * pb->height() * pb->bytesPerPixel()));
      pb->grabRegion(Region(pb->getRect()));
      EXPECT_TRUE(pixelsMatch(*pb, [&](int x, int y) { return painter.at(x, y); }));

      // A grab refreshes its region within the clip region only.
      std::vector<uint32_t> before = painter.snapshot();
      painter.paintRandom(3, 60);
      Region clip = regionOf({Rect(0, 0, 160, 120), Rect(200, 150, 320, 240)});
      pb->setClipRegion(clip);
      pb->grabRegion(squares(20));
      EXPECT_TRUE(pixelsMatch(*pb, refreshed(painter, squares(20).intersect(clip), before)));
      pb->setClipRegion(Region());

      // Used to miss with the shared pixmap: the copy's graphics context
      // clipped the root window by its children, leaving their areas out.
      Display* dpy = tx::display();
      painter.fill(painter.screen(), 0);
      Window child = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 50, 60, 40, 30, 0, 0,
                                         painter.pixel(4));
      XMapWindow(dpy, child);
      XSync(dpy, False);
      pb->grabRegion(Region(pb->getRect()));
      EXPECT_TRUE(pixelsMatch(*pb, [&](int x, int y) {
        return Rect::fromXYWH(50, 60, 40, 30).contains(rfb::Point(x, y)) ? painter.pixel(4)
                                                                          : painter.pixel(0);
      }));
      XDestroyWindow(dpy, child);
      pb.reset();

      // A buffer away from the origin holds its part of the screen; an odd
      // width pads rows on 8 and 16 bpp screens.
      painter.paintRandom(4);
      const Rect rect(37, 21, 238, 171);
      auto part = makeBuffer(way.fastest, way.useXShm, rect);
      EXPECT_EQ(part->getStride(), tx::PixelBufferX11::strideFor(rect.width(), part->getPF().bpp,
                                                                 part->scanlinePad()));
      part->grabRegion(Region(rect));
      EXPECT_TRUE(pixelsMatch(*part, [&](int x, int y) { return painter.at(x, y); }));
      before = painter.snapshot();
      painter.paintRandom(5);
      Region corner(Rect(30, 15, 60, 50)); // straddles the buffer's corner
      part->grabRegion(corner);
      EXPECT_TRUE(pixelsMatch(*part, refreshed(painter, corner, before)));
      part->moveTo(rfb::Point(80, 60));
      EXPECT_TRUE(part->getRect() == Rect(80, 60, 281, 210));
      part->grabRegion(Region(part->getRect()));
      EXPECT_TRUE(pixelsMatch(*part, [&](int x, int y) { return painter.at(x, y); }));

      // Used to end the process through Xlib's default error handler on the
      // plain way: an unmapped window has no image, the server answers
      // BadMatch. (A copy from it is no error and copies undefined pixels:
      // only the image ways have pixels to check.)
      Window hidden = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, 64, 48, 0, 0, 0);
      XSync(dpy, False);
      tx::PixelBufferX11 hiddenPb(hidden, nullptr, Rect(), way.fastest);
      const uint32_t marker = painter.unusedPixel();
      hiddenPb.fillRect(hiddenPb.getRect(), marker);
      hiddenPb.grabRegion(Region(hiddenPb.getRect()));
      hiddenPb.grabRegion(Region(Rect(3, 3, 9, 9)));
      if (hiddenPb.method() != Method::shmPixmap) {
        EXPECT_TRUE(pixelsMatch(hiddenPb, [&](int, int) { return marker; }));
      }
      XDestroyWindow(dpy, hidden);
    });
  }
}

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
    id = tx::XFixesCreateRegion(tx::display(), xrects.data(), int(xrects.size()));
  }
  ~ServerRegion() { tx::XFixesDestroyRegion(tx::display(), id); }
  unsigned long id = 0;
};

// Grabs queued in the same round trip as the damage fetch, and the fresh
// area that the next grab leaves out.
TEST(PixelBufferX11Fresh, QueuedGrabsAndFreshAreas) {
  inServer(ServerKind::depth24, [] {
    Painter painter;
    // Away from the origin too: the region is in screen coordinates, the
    // pixmap's start at the buffer's corner.
    for (const Rect& bufferRect : {Rect(), Rect(40, 30, 300, 220)}) {
      SCOPED_TRACE(bufferRect.print());
      painter.paintRandom(1);
      auto pb = makeBuffer(Method::shmPixmap, true, bufferRect);
      ASSERT_EQ(pb->method(), Method::shmPixmap);
      pb->grabRegion(Region(pb->getRect()));
      std::vector<uint32_t> before = painter.snapshot();
      painter.paintRandom(2, 60);
      std::vector<Rect> rects = {Rect(5, 5, 60, 40), Rect(100, 30, 180, 90),
                                 Rect(290, 200, 320, 240)};
      ServerRegion region(rects);
      EXPECT_TRUE(pb->queueGrab(region.id));
      XSync(tx::display(), False);
      EXPECT_TRUE(pixelsMatch(*pb, refreshed(painter, regionOf(rects), before)));
      EXPECT_TRUE(pb->freshRegion().isEmpty()); // the caller names what was copied
    }

    // Only the shared pixmap way queues grabs.
    ServerRegion whole({Rect(0, 0, 320, 240)});
    for (Method fastest : {Method::shmImage, Method::plainImage}) {
      auto pb = makeBuffer(fastest, fastest != Method::plainImage);
      ASSERT_EQ(pb->method(), fastest);
      EXPECT_FALSE(pb->queueGrab(whole.id));
    }

    // A clip region that leaves pixels out stops queued grabs; one covering
    // the whole buffer (monitors filling the screen) takes nothing away.
    auto pb = makeBuffer(Method::shmPixmap);
    pb->setClipRegion(Region(Rect(0, 0, 160, 240)));
    EXPECT_FALSE(pb->queueGrab(whole.id));
    XSync(tx::display(), False);
    EXPECT_TRUE(pixelsMatch(*pb, [](int, int) { return 0u; }));
    pb->setClipRegion(Region(Rect(-10, -10, 400, 300)));
    EXPECT_TRUE(pb->queueGrab(whole.id));
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
      return inRegion(fresh, x, y) ? before[size_t(y * screenWidth + x)] : painter.at(x, y);
    }));
    pb->grabRegion(Region(pb->getRect()));
    EXPECT_TRUE(pixelsMatch(*pb, [&](int x, int y) { return painter.at(x, y); }));
  });
}

// The X server runs as nobody: it may attach only segments handed to it.
TEST(PixelBufferX11Owner, OnlySegmentsHandedToTheServerOwnerAreAttached) {
  inServer(ServerKind::nobody, [] {
    Painter painter;
    {
      // Not root: the server runs as this user, so refuse it with mode 0.
      ipc_perm closed{};
      closed.uid = getuid();
      closed.gid = getgid();
      tx::PixelBufferX11 pb(DefaultRootWindow(tx::display()), geteuid() == 0 ? nullptr : &closed);
      EXPECT_EQ(pb.method(), Method::plainImage);
      // The System V segment made for the refused attach is gone again.
      EXPECT_TRUE(testsupport::sysvSegmentsOf(getpid()).empty());
      painter.paintRandom(8);
      pb.grabRegion(Region(pb.getRect()));
      EXPECT_TRUE(pixelsMatch(pb, [&](int x, int y) { return painter.at(x, y); }));
    }
    ipc_perm owner{};
    owner.uid = geteuid() == 0 ? nobodyUid : getuid();
    owner.gid = geteuid() == 0 ? nobodyGid : getgid();
    owner.mode = 0600;
    auto pb = std::make_unique<tx::PixelBufferX11>(DefaultRootWindow(tx::display()), &owner);
    EXPECT_NE(pb->method(), Method::plainImage);
    shmid_ds ds;
    int id = dynamic_cast<plat::SharedMemSysV&>(*pb->getSharedMem()).id();
    ASSERT_EQ(shmctl(id, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.shm_perm.uid, owner.uid);
    EXPECT_EQ(ds.shm_perm.gid, owner.gid);
    EXPECT_EQ(ds.shm_perm.mode & 0777, 0600u);
    painter.paintRandom(9);
    pb->grabRegion(Region(pb->getRect()));
    EXPECT_TRUE(pixelsMatch(*pb, [&](int x, int y) { return painter.at(x, y); }));
    pb.reset();
    EXPECT_TRUE(testsupport::sysvSegmentsOf(getpid()).empty());
  });
}

// One child process on an 8-bit server for all of the map's behaviours.
TEST(ColourMapX11, ReadsTheShownColormap) {
  inServer(ServerKind::depth8, [] {
    Display* dpy = tx::display();
    Painter painter;
    painter.paintRandom(11);
    tx::PixelBufferX11 pb(DefaultRootWindow(dpy), nullptr);
    auto* map = dynamic_cast<tx::ColourMapX11*>(pb.getColourMap());
    ASSERT_NE(map, nullptr);
    ASSERT_EQ(map->size(), 256);
    pb.grabRegion(rfb::Region(pb.getRect()));
    EXPECT_TRUE(pixelsMatch(pb, [&](int x, int y) { return painter.at(x, y); }));
    // The server keeps 8 bits per channel or more: the colours survive.
    for (size_t i = 0; i < palette().size(); i++) {
      rfb::Colour colour{1, 2, 3, 4};
      map->getColour(int(painter.pixel(i)), &colour);
      EXPECT_EQ(colour, (rfb::Colour{palette()[i].r, palette()[i].g, palette()[i].b, 255})) << i;
    }

    // A refresh reports changed entries only.
    EXPECT_FALSE(map->refresh());
    Colormap cmap = DefaultColormap(dpy, DefaultScreen(dpy));
    unsigned long cell = 0;
    ASSERT_TRUE(XAllocColorCells(dpy, cmap, False, nullptr, 0, &cell, 1));
    XColor stored{cell, 0x1234, 0x5678, 0x9abc, DoRed | DoGreen | DoBlue, 0};
    XStoreColor(dpy, cmap, &stored);
    XSync(dpy, False);
    XQueryColor(dpy, cmap, &stored);
    EXPECT_TRUE(map->refresh());
    rfb::Colour got;
    map->getColour(int(cell), &got);
    EXPECT_EQ(got, (rfb::Colour{tx::ColourMapX11::to8Bits(stored.red),
                                tx::ColourMapX11::to8Bits(stored.green),
                                tx::ColourMapX11::to8Bits(stored.blue), 255}));
    EXPECT_FALSE(map->refresh());

    // Used to be queried outside any error catcher: a refusal (more pixels
    // than the installed colormap has, or a colormap gone meanwhile) reached
    // Xlib's default handler, which ended the agent.
    Colormap gone = XCreateColormap(dpy, DefaultRootWindow(dpy),
                                    DefaultVisual(dpy, DefaultScreen(dpy)), AllocNone);
    XFreeColormap(dpy, gone);
    EXPECT_FALSE(tx::ColourMapX11::readColormap(gone, 256).has_value());
    EXPECT_FALSE(tx::ColourMapX11::readColormap(cmap, 257).has_value());
    EXPECT_EQ(tx::ColourMapX11::readColormap(cmap, 256).value_or(std::vector<tx::Rgb16>()).size(),
              256u);
  });
}

} // namespace
