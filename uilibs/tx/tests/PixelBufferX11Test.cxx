// gtest first: Xlib's macros (None, Bool) break its headers.
#include <gtest/gtest.h>

#include "uilibs/tx/PixelBufferX11.h"

#include "GrabPicture.h"
#include "GrabServer.h"
#include "XTestHelpers.h"

#include "base/plat/Configuration.h"
#include "base/plat/Exception.h"
#include "base/plat/unix/SharedMem.h"
#include "base/plat/unix/SharedMemPosix.h"
#include "base/plat/unix/SharedMemSysV.h"
#include "testsupport/ShmLeaks.h"
#include "testsupport/LogRecorder.h"

#include <X11/Xlib.h>

#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

using grabtest::inRegion;
using grabtest::inServer;
using grabtest::Painter;
using grabtest::pixelsMatch;
using grabtest::ServerKind;
using Method = tx::PixelBufferX11::Method;
using rfb::Rect;
using rfb::Region;

// ---- Decisions that need no X server ----

TEST(PixelBufferX11Stride, RowsArePaddedToTheScanlinePadAndBadPadsAreRefused) {
  struct Case {
    int width, bpp, pad, stride;
  };
  const Case cases[] = {
    {1000, 32, 32, 1000}, {1001, 16, 32, 1002}, {1001, 8, 32, 1004}, {1003, 8, 8, 1003},
    {1, 16, 32, 2},       {5, 32, 64, 6},       {0, 32, 32, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.width << " at " << c.bpp << " bpp, pad " << c.pad);
    EXPECT_EQ(tx::PixelBufferX11::strideFor(c.width, c.bpp, c.pad), c.stride);
  }
  struct Bad {
    int bpp, pad;
  };
  // 24 bpp rows cannot be padded to 32 bits whole pixels at a time; 24 and
  // 0 are not powers of two; 16 is not a multiple of 32.
  const Bad bad[] = {{24, 32}, {32, 24}, {32, 16}, {8, 0}, {16, 48}};
  for (const Bad& c : bad) {
    SCOPED_TRACE(::testing::Message() << c.bpp << " bpp, pad " << c.pad);
    try {
      tx::PixelBufferX11::strideFor(100, c.bpp, c.pad);
      ADD_FAILURE() << "accepted";
    } catch (const plat::AssertionFail& e) {
      EXPECT_EQ(std::string(e.str()), "Bad X server scanline pad " + std::to_string(c.pad));
      EXPECT_EQ(e.condition(), "nBitsSet(scanlinePad) == 1 && (scanlinePad % pf.bpp) == 0");
    }
  }
}

// `count` separate 2x2 squares in one row.
Region squares(int count, int x0 = 10, int y = 50, int step = 12) {
  Region region;
  for (int i = 0; i < count; i++)
    region.assign_union(Region(Rect::fromXYWH(x0 + i * step, y, 2, 2)));
  return region;
}

TEST(PixelBufferX11GrabArea, ManyRectanglesBecomeTheirBoundingBoxThenClipped) {
  const Rect bounds(0, 0, 400, 300);
  Region clip(Rect(0, 0, 100, 300));
  clip.assign_union(Region(Rect(200, 0, 210, 300)));
  // The box of 21 squares reaches x = 252; the clip keeps 10..100 and 200..210.
  Region clippedBox(Rect(10, 50, 100, 52));
  clippedBox.assign_union(Region(Rect(200, 50, 210, 52)));
  struct Case {
    const char* name;
    Region region;
    int maxRects;
    Region clip;
    Region expected;
  };
  const Case cases[] = {
    {"21 squares with the default 20", squares(21), 20, Region(),
     Region(squares(21).get_bounding_rect())},
    {"20 squares with the default 20", squares(20), 20, Region(), squares(20)},
    {"limit 0: even one rectangle is its box", squares(1), 0, Region(), squares(1)},
    {"limit 0: two squares", squares(2), 0, Region(), Region(Rect(10, 50, 24, 52))},
    {"outside the buffer is dropped", Region(Rect(390, 290, 500, 500)), 20, Region(),
     Region(Rect(390, 290, 400, 300))},
    {"wholly outside", Region(Rect(-50, -50, -1, -1)), 20, Region(), Region()},
    {"the clip after the box", squares(21), 20, clip, clippedBox},
    {"the clip without the box", squares(5), 20, Region(Rect(0, 0, 40, 300)), squares(3)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Region got = tx::PixelBufferX11::grabArea(c.region, c.maxRects, bounds, c.clip);
    EXPECT_TRUE(got == c.expected) << got.print();
  }
}

// ---- Grabbing from real servers, for each way ----

struct WayCase {
  const char* name;
  ServerKind server;
  Method fastest;
  bool useXShm;
  Method expected;
  const char* usingLine;
  uint8_t segmentType;
};

void PrintTo(const WayCase& c, std::ostream* os) {
  *os << c.name;
}

const WayCase wayCases[] = {
  {"shmPixmap24", ServerKind::depth24, Method::shmPixmap, true, Method::shmPixmap,
   "Using shared memory Pixmap", plat::SharedMem::typeSysV},
  {"shmImage24", ServerKind::depth24, Method::shmImage, true, Method::shmImage,
   "Using shared memory XImage", plat::SharedMem::typeSysV},
  {"plainByParameter24", ServerKind::depth24, Method::shmPixmap, false, Method::plainImage,
   "Using non-shm XImage", plat::SharedMem::typePosix},
  {"plainWithoutMitShm24", ServerKind::noShm, Method::shmPixmap, true, Method::plainImage,
   "Using non-shm XImage", plat::SharedMem::typePosix},
  {"shmPixmap16", ServerKind::depth16, Method::shmPixmap, true, Method::shmPixmap,
   "Using shared memory Pixmap", plat::SharedMem::typeSysV},
  {"shmImage16", ServerKind::depth16, Method::shmImage, true, Method::shmImage,
   "Using shared memory XImage", plat::SharedMem::typeSysV},
  {"plain16", ServerKind::depth16, Method::shmPixmap, false, Method::plainImage,
   "Using non-shm XImage", plat::SharedMem::typePosix},
  {"shmPixmap8", ServerKind::depth8, Method::shmPixmap, true, Method::shmPixmap,
   "Using shared memory Pixmap", plat::SharedMem::typeSysV},
  {"shmImage8", ServerKind::depth8, Method::shmImage, true, Method::shmImage,
   "Using shared memory XImage", plat::SharedMem::typeSysV},
  {"plain8", ServerKind::depth8, Method::shmPixmap, false, Method::plainImage,
   "Using non-shm XImage", plat::SharedMem::typePosix},
};

class GrabWays : public ::testing::TestWithParam<WayCase> {
protected:
  void run(const std::function<void()>& body) { inServer(GetParam().server, body); }

  std::unique_ptr<tx::PixelBufferX11> makeBuffer(const Rect& rect = Rect()) {
    EXPECT_TRUE(
      plat::Configuration::global().setParam("_UseXShm", GetParam().useXShm ? "1" : "0", 10));
    return std::make_unique<tx::PixelBufferX11>(DefaultRootWindow(tx::display()), nullptr, rect,
                                                GetParam().fastest);
  }
};

bool contains(const std::vector<std::string>& lines, const std::string& text) {
  return std::find(lines.begin(), lines.end(), text) != lines.end();
}

// System V segments this process created, as /proc/sysvipc/shm lists them.
std::set<int> sysVSegmentsOfThisProcess() {
  return testsupport::sysvSegmentsOf(getpid());
}

const char* formatOf(ServerKind server) {
  switch (server) {
  case ServerKind::depth16:
    return "depth 16 (16 bpp) little-endian rgb565";
  case ServerKind::depth8:
    return "depth 8 (8 bpp) colour-map";
  default:
    return "depth 24 (32 bpp) little-endian rgb888";
  }
}

// Pixels a grab of `region` refreshed from the painter, the others as
// they were in `before`.
std::function<uint32_t(int, int)> refreshed(const Painter& painter, const Region& region,
                                            const std::vector<uint32_t>& before) {
  return [&painter, region, &before](int x, int y) {
    return inRegion(region, x, y) ? painter.at(x, y)
                                  : before[size_t(y) * grabtest::screenWidth + size_t(x)];
  };
}

// Every way on every server, one child process each: what the buffer is,
// and that what it grabs is what the screen shows, where it should.
TEST_P(GrabWays, GrabsWhatTheScreenShows) {
  run([this] {
    EXPECT_TRUE(sysVSegmentsOfThisProcess().empty());
    testsupport::LogRecorder recorder("PixelBufferX11", 110);
    Painter painter;
    painter.paintRandom(1);
    auto pb = makeBuffer();
    EXPECT_EQ(pb->method(), GetParam().expected);
    EXPECT_TRUE(contains(recorder.texts("PixelBufferX11"), GetParam().usingLine));
    EXPECT_EQ(contains(recorder.texts("PixelBufferX11"), "No XShm extension"),
              GetParam().server == ServerKind::noShm);
    EXPECT_EQ(pb->getPF().print(), formatOf(GetParam().server));
    EXPECT_EQ(pb->getColourMap() == nullptr, GetParam().server != ServerKind::depth8);
    EXPECT_TRUE(pb->getRect() == painter.screen());
    plat::SharedMem* shm = pb->getSharedMem();
    ASSERT_NE(shm, nullptr);
    EXPECT_EQ(shm->description().at(0), GetParam().segmentType);
    EXPECT_EQ(pb->data(), shm->data());
    EXPECT_GE(shm->size(), uint32_t(pb->getStride() * pb->height() * pb->bytesPerPixel()));
    // Cleared, not yet grabbed.
    EXPECT_TRUE(pixelsMatch(*pb, [](int, int) { return 0u; }));
    pb->grabRegion(Region(pb->getRect()));
    EXPECT_TRUE(pixelsMatch(*pb, [&](int x, int y) { return painter.at(x, y); }));

    {
      SCOPED_TRACE("a partial grab leaves other pixels alone");
      std::vector<uint32_t> before = painter.snapshot();
      painter.paintRandom(2, 60);
      Region region(Rect(5, 5, 60, 40));
      region.assign_union(Region(Rect(100, 30, 180, 90)));
      region.assign_union(Region(Rect(300, 200, 400, 300))); // reaches past the screen
      pb->grabRegion(region);
      EXPECT_TRUE(pixelsMatch(*pb, refreshed(painter, region, before)));
    }
    for (int count : {6, 5}) {
      SCOPED_TRACE(testing::Message() << count << " rectangles, at most 5");
      plat::Configuration::global().setParam("_MaxGrabRects", "5", 10);
      pb->grabRegion(Region(pb->getRect()));
      std::vector<uint32_t> before = painter.snapshot();
      painter.fill(painter.screen(), 2);
      painter.sync();
      pb->grabRegion(squares(count));
      Region asked = count > 5 ? Region(squares(count).get_bounding_rect()) : squares(count);
      EXPECT_TRUE(pixelsMatch(*pb, refreshed(painter, asked, before)));
      plat::Configuration::global().setParam("_MaxGrabRects", "20", 10);
    }
    {
      SCOPED_TRACE("pixels outside the clip region are never refreshed");
      painter.paintRandom(3);
      const uint32_t marker = painter.unusedPixel();
      pb->fillRect(pb->getRect(), marker);
      Region clip(Rect(0, 0, 160, 120));
      clip.assign_union(Region(Rect(200, 150, 320, 240)));
      pb->setClipRegion(clip);
      pb->grabRegion(Region(pb->getRect()));
      EXPECT_TRUE(pixelsMatch(
        *pb, [&](int x, int y) { return inRegion(clip, x, y) ? painter.at(x, y) : marker; }));
      pb->setClipRegion(Region());
      pb->grabRegion(Region(pb->getRect()));
      EXPECT_TRUE(pixelsMatch(*pb, [&](int x, int y) { return painter.at(x, y); }));
    }
    {
      SCOPED_TRACE("child windows are part of the image");
      painter.fill(painter.screen(), 0);
      Display* dpy = tx::display();
      Window child = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 50, 60, 40, 30, 0, 0,
                                         painter.pixel(4));
      XMapWindow(dpy, child);
      painter.sync();
      pb->grabRegion(Region(pb->getRect()));
      const Rect window = Rect::fromXYWH(50, 60, 40, 30);
      // Used to miss with the shared pixmap: the copy's graphics context
      // clipped the root window by its children, leaving their areas out.
      EXPECT_TRUE(pixelsMatch(*pb, [&](int x, int y) {
        return window.contains(rfb::Point(x, y)) ? painter.pixel(4) : painter.pixel(0);
      }));
      XDestroyWindow(dpy, child);
      painter.sync();
    }
    {
      SCOPED_TRACE("nothing is left after destruction");
      if (auto* sysV = dynamic_cast<plat::SharedMemSysV*>(shm)) {
        int id = sysV->id();
        EXPECT_EQ(sysVSegmentsOfThisProcess(), std::set<int>{id});
        shmid_ds ds;
        ASSERT_EQ(shmctl(id, IPC_STAT, &ds), 0);
        EXPECT_EQ(ds.shm_nattch, 2u); // this process and the X server
        pb.reset();
        EXPECT_NE(shmctl(id, IPC_STAT, &ds), 0);
      } else {
        auto* posix = dynamic_cast<plat::SharedMemPosix*>(shm);
        ASSERT_NE(posix, nullptr);
        std::string name = posix->name();
        EXPECT_EQ(testsupport::posixObjectsOf(getpid()), std::set<std::string>{name.substr(1)});
        pb.reset();
        EXPECT_TRUE(testsupport::posixObjectsOf(getpid()).empty());
      }
      EXPECT_TRUE(sysVSegmentsOfThisProcess().empty());
    }
    {
      SCOPED_TRACE("a buffer away from the origin holds its part of the screen");
      painter.paintRandom(4);
      // An odd width, so that rows are padded on 8 and 16 bpp screens.
      const Rect rect(37, 21, 238, 171);
      auto part = makeBuffer(rect);
      EXPECT_TRUE(part->getRect() == rect);
      EXPECT_EQ(part->getStride(), tx::PixelBufferX11::strideFor(
                                     rect.width(), part->getPF().bpp, part->scanlinePad()));
      part->grabRegion(Region(rect));
      EXPECT_TRUE(pixelsMatch(*part, [&](int x, int y) { return painter.at(x, y); }));
      std::vector<uint32_t> before = painter.snapshot();
      painter.paintRandom(5);
      Region region(Rect(30, 15, 60, 50)); // straddles the buffer's corner
      part->grabRegion(region);
      EXPECT_TRUE(pixelsMatch(*part, refreshed(painter, region, before)));
      // Moved, it reads its new area.
      part->moveTo(rfb::Point(80, 60));
      EXPECT_TRUE(part->getRect() == Rect(80, 60, 281, 210));
      part->grabRegion(Region(part->getRect()));
      EXPECT_TRUE(pixelsMatch(*part, [&](int x, int y) { return painter.at(x, y); }));
    }
    {
      SCOPED_TRACE("X errors during a grab are absorbed");
      Display* dpy = tx::display();
      // An unmapped window has no image to read: the server answers BadMatch.
      Window hidden = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, 64, 48, 0, 0, 0);
      painter.sync();
      tx::PixelBufferX11 hiddenPb(hidden, nullptr, Rect(), GetParam().fastest);
      EXPECT_TRUE(hiddenPb.getRect() == Rect(0, 0, 64, 48));
      const uint32_t marker = painter.unusedPixel();
      hiddenPb.fillRect(hiddenPb.getRect(), marker);
      // Used to end the process through Xlib's default error handler on the
      // plain way.
      hiddenPb.grabRegion(Region(hiddenPb.getRect()));
      hiddenPb.grabRegion(Region(Rect(3, 3, 9, 9)));
      // A copy from an unmapped window is not an error, and what it copies is
      // undefined, so only the image ways have pixels to check.
      if (hiddenPb.method() != Method::shmPixmap) {
        EXPECT_TRUE(pixelsMatch(hiddenPb, [&](int, int) { return marker; }));
      }
      XDestroyWindow(dpy, hidden);
    }
  });
}

INSTANTIATE_TEST_SUITE_P(Ways, GrabWays, ::testing::ValuesIn(wayCases),
                         [](const ::testing::TestParamInfo<WayCase>& info) {
                           return std::string(info.param.name);
                         });

// ---- Construction on particular servers ----

TEST(PixelBufferX11, MissingWindowFailsGeometry) {
  // An id of this client that names nothing, on the shared server.
  Window missing = XAllocID(txtest::toolkitDisplay());
  try {
    tx::PixelBufferX11 pb(missing, nullptr);
    ADD_FAILURE() << "constructed";
  } catch (const plat::Exception& e) {
    EXPECT_STREQ(e.str(), "XGetGeometry failed");
  }
  EXPECT_TRUE(sysVSegmentsOfThisProcess().empty());
}

// The X server runs as nobody: it may attach only segments handed to it.
TEST(PixelBufferX11Owner, OnlySegmentsHandedToTheServerOwnerAreAttached) {
  inServer(ServerKind::nobody, [] {
    Painter painter;
    {
      testsupport::LogRecorder recorder("PixelBufferX11", 110);
      // Not root: the server runs as this user, so refuse it with mode 0.
      ipc_perm closed{};
      closed.uid = getuid();
      closed.gid = getgid();
      closed.mode = 0;
      tx::PixelBufferX11 pb(DefaultRootWindow(tx::display()), geteuid() == 0 ? nullptr : &closed);
      EXPECT_EQ(pb.method(), Method::plainImage);
      EXPECT_EQ(pb.getSharedMem()->description().at(0), plat::SharedMem::typePosix);
      std::vector<std::string> lines = recorder.texts("PixelBufferX11");
      EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.find("XShmAttach failed") != std::string::npos;
      }));
      // The System V segment made for the refused attach is gone again.
      EXPECT_TRUE(sysVSegmentsOfThisProcess().empty());
      painter.paintRandom(8);
      pb.grabRegion(Region(pb.getRect()));
      EXPECT_TRUE(pixelsMatch(pb, [&](int x, int y) { return painter.at(x, y); }));
    }

    ipc_perm owner{};
    owner.uid = geteuid() == 0 ? grabtest::nobodyUid : getuid();
    owner.gid = geteuid() == 0 ? grabtest::nobodyGid : getgid();
    owner.mode = 0600;
    auto pb = std::make_unique<tx::PixelBufferX11>(DefaultRootWindow(tx::display()), &owner);
    EXPECT_NE(pb->method(), Method::plainImage);
    auto* sysV = dynamic_cast<plat::SharedMemSysV*>(pb->getSharedMem());
    ASSERT_NE(sysV, nullptr);
    shmid_ds ds;
    ASSERT_EQ(shmctl(sysV->id(), IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.shm_perm.uid, owner.uid);
    EXPECT_EQ(ds.shm_perm.gid, owner.gid);
    EXPECT_EQ(ds.shm_perm.mode & 0777, 0600u);
    painter.paintRandom(9);
    pb->grabRegion(Region(pb->getRect()));
    EXPECT_TRUE(pixelsMatch(*pb, [&](int x, int y) { return painter.at(x, y); }));
    pb.reset();
    EXPECT_TRUE(sysVSegmentsOfThisProcess().empty());
  });
}

} // namespace
