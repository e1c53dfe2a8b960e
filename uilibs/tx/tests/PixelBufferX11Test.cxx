// gtest first: Xlib's macros (None, Bool) break its headers.
#include <gtest/gtest.h>

#include "uilibs/tx/PixelBufferX11.h"

#include "GrabPicture.h"
#include "GrabServer.h"

#include "base/plat/Configuration.h"
#include "base/plat/Exception.h"
#include "base/plat/unix/SharedMem.h"
#include "base/plat/unix/SharedMemFactory.h"
#include "base/plat/unix/SharedMemPosix.h"
#include "base/plat/unix/SharedMemSysV.h"
#include "base/plat/unix/tests/SharedMemTestSupport.h"
#include "base/rdr/MemInStream.h"
#include "testsupport/LogRecorder.h"

#include <X11/Xlib.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
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

TEST(PixelBufferX11Stride, RowsArePaddedToTheScanlinePad) {
  struct Case {
    int width, bpp, pad, stride;
  };
  const Case cases[] = {
    {1000, 32, 32, 1000}, {1001, 16, 32, 1002}, {1001, 8, 32, 1004}, {1003, 8, 8, 1003},
    {1, 16, 32, 2},       {5, 32, 64, 6},       {0, 32, 32, 0},      {1920, 32, 32, 1920},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.width << " at " << c.bpp << " bpp, pad " << c.pad);
    EXPECT_EQ(tx::PixelBufferX11::strideFor(c.width, c.bpp, c.pad), c.stride);
  }
}

TEST(PixelBufferX11Stride, BadPadsAreRefused) {
  struct Case {
    int bpp, pad;
  };
  // 24 bpp rows cannot be padded to 32 bits whole pixels at a time; 24 and
  // 0 are not powers of two; 16 is not a multiple of 32.
  const Case cases[] = {{24, 32}, {32, 24}, {32, 16}, {8, 0}, {16, 48}};
  for (const Case& c : cases) {
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

TEST(PixelBufferX11GrabArea, ManyRectanglesBecomeTheirBoundingBox) {
  const Rect bounds(0, 0, 400, 300);
  struct Case {
    const char* name;
    Region region;
    int maxRects;
    Region expected;
  };
  const Case cases[] = {
    {"21 squares with the default 20", squares(21), 20, Region(squares(21).get_bounding_rect())},
    {"20 squares with the default 20", squares(20), 20, squares(20)},
    {"limit 0: even one rectangle is its box", squares(1), 0, squares(1)},
    {"limit 0: two squares", squares(2), 0, Region(Rect(10, 50, 24, 52))},
    {"empty region", Region(), 20, Region()},
    {"outside the buffer is dropped", Region(Rect(390, 290, 500, 500)), 20,
     Region(Rect(390, 290, 400, 300))},
    {"wholly outside", Region(Rect(-50, -50, -1, -1)), 20, Region()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Region got = tx::PixelBufferX11::grabArea(c.region, c.maxRects, bounds, Region());
    EXPECT_TRUE(got == c.expected) << got.print();
  }
}

TEST(PixelBufferX11GrabArea, ClipRegionIsAppliedAfterTheBoundingBox) {
  const Rect bounds(0, 0, 400, 300);
  Region clip(Rect(0, 0, 100, 300));
  clip.assign_union(Region(Rect(200, 0, 210, 300)));
  // The box of 21 squares reaches x = 252; the clip keeps 10..100 and 200..210.
  Region got = tx::PixelBufferX11::grabArea(squares(21), 20, bounds, clip);
  Region expected(Rect(10, 50, 100, 52));
  expected.assign_union(Region(Rect(200, 50, 210, 52)));
  EXPECT_TRUE(got == expected) << got.print();
  // Without the box, only the squares inside the clip remain.
  got = tx::PixelBufferX11::grabArea(squares(5), 20, bounds, Region(Rect(0, 0, 40, 300)));
  EXPECT_TRUE(got == squares(3)) << got.print();
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
    if (!GetParam().useXShm)
      EXPECT_TRUE(plat::Configuration::global().setParam("_UseXShm", "0", 10));
    return std::make_unique<tx::PixelBufferX11>(DefaultRootWindow(tx::display()), nullptr, rect,
                                                GetParam().fastest);
  }
};

bool contains(const std::vector<std::string>& lines, const std::string& text) {
  return std::find(lines.begin(), lines.end(), text) != lines.end();
}

TEST_P(GrabWays, WholeGrabGivesThePicture) {
  run([this] {
    testsupport::LogRecorder recorder("PixelBufferX11", 110);
    Painter painter;
    painter.paintRandom(1);
    auto pb = makeBuffer();
    EXPECT_EQ(pb->method(), GetParam().expected);
    EXPECT_TRUE(contains(recorder.texts("PixelBufferX11"), GetParam().usingLine));
    if (GetParam().server == ServerKind::noShm)
      EXPECT_TRUE(contains(recorder.texts("PixelBufferX11"), "No XShm extension"));
    EXPECT_TRUE(pb->getRect() == painter.screen());
    ASSERT_NE(pb->getSharedMem(), nullptr);
    EXPECT_EQ(pb->getSharedMem()->description().at(0), GetParam().segmentType);
    EXPECT_EQ(pb->data(), pb->getSharedMem()->data());
    EXPECT_GE(pb->getSharedMem()->size(),
              uint32_t(pb->getStride() * pb->height() * pb->bytesPerPixel()));
    // Cleared, not yet grabbed.
    EXPECT_TRUE(pixelsMatch(*pb, [](int, int) { return 0u; }));

    pb->grabRegion(Region(pb->getRect()));
    EXPECT_TRUE(pixelsMatch(*pb, [&](int x, int y) { return painter.at(x, y); }));
  });
}

TEST_P(GrabWays, PartialGrabLeavesOtherPixelsAlone) {
  run([this] {
    Painter painter;
    painter.paintRandom(1);
    auto pb = makeBuffer();
    pb->grabRegion(Region(pb->getRect()));
    std::vector<uint32_t> before = painter.snapshot();
    painter.paintRandom(2, 60);

    Region region(Rect(5, 5, 60, 40));
    region.assign_union(Region(Rect(100, 30, 180, 90)));
    region.assign_union(Region(Rect(300, 200, 400, 300))); // reaches past the screen
    pb->grabRegion(region);
    EXPECT_TRUE(pixelsMatch(*pb, [&](int x, int y) {
      return inRegion(region, x, y) ? painter.at(x, y) : before[size_t(y) * 320 + size_t(x)];
    }));
  });
}

TEST_P(GrabWays, MoreRectanglesThanTheLimitAreGrabbedAsTheirBox) {
  struct Case {
    const char* name;
    const char* limit; // null: the default of 20
    int squares;
    bool asBox;
  };
  const Case cases[] = {
    {"21 squares, default limit", nullptr, 21, true},
    {"20 squares, default limit", nullptr, 20, false},
    {"6 squares, limit 5", "5", 6, true},
    {"5 squares, limit 5", "5", 5, false},
  };
  run([&] {
    Painter painter;
    auto pb = makeBuffer();
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      plat::Configuration::global().setParam("_MaxGrabRects", c.limit ? c.limit : "20", 10);
      painter.fill(painter.screen(), 0);
      painter.sync();
      pb->grabRegion(Region(pb->getRect()));
      painter.fill(painter.screen(), 2);
      painter.sync();
      Region region = squares(c.squares);
      pb->grabRegion(region);
      Region refreshed = c.asBox ? Region(region.get_bounding_rect()) : region;
      EXPECT_TRUE(pixelsMatch(*pb, [&](int x, int y) {
        return inRegion(refreshed, x, y) ? painter.pixel(2) : painter.pixel(0);
      }));
    }
  });
}

TEST_P(GrabWays, PixelsOutsideTheClipRegionAreNeverRefreshed) {
  run([this] {
    Painter painter;
    painter.paintRandom(3);
    auto pb = makeBuffer();
    const uint32_t marker = painter.unusedPixel();
    pb->fillRect(pb->getRect(), marker);
    Region clip(Rect(0, 0, 160, 120));
    clip.assign_union(Region(Rect(200, 150, 320, 240)));
    pb->setClipRegion(clip);
    EXPECT_TRUE(pb->clipRegion() == clip);

    pb->grabRegion(Region(pb->getRect()));
    EXPECT_TRUE(pixelsMatch(
      *pb, [&](int x, int y) { return inRegion(clip, x, y) ? painter.at(x, y) : marker; }));

    pb->setClipRegion(Region());
    pb->grabRegion(Region(pb->getRect()));
    EXPECT_TRUE(pixelsMatch(*pb, [&](int x, int y) { return painter.at(x, y); }));
  });
}

TEST_P(GrabWays, BufferAwayFromTheOriginHoldsItsPartOfTheScreen) {
  run([this] {
    Painter painter;
    painter.paintRandom(4);
    // An odd width, so that rows are padded on 8 and 16 bpp screens.
    const Rect rect(37, 21, 238, 171);
    auto pb = makeBuffer(rect);
    EXPECT_TRUE(pb->getRect() == rect);
    EXPECT_EQ(pb->getStride(), tx::PixelBufferX11::strideFor(rect.width(), pb->getPF().bpp,
                                                             pb->scanlinePad()));
    pb->grabRegion(Region(rect));
    EXPECT_TRUE(pixelsMatch(*pb, [&](int x, int y) { return painter.at(x, y); }));

    std::vector<uint32_t> before = painter.snapshot();
    painter.paintRandom(5);
    Region region(Rect(30, 15, 60, 50)); // straddles the buffer's corner
    pb->grabRegion(region);
    EXPECT_TRUE(pixelsMatch(*pb, [&](int x, int y) {
      return inRegion(region, x, y) ? painter.at(x, y) : before[size_t(y) * 320 + size_t(x)];
    }));

    // Moved, it reads its new area.
    pb->moveTo(rfb::Point(80, 60));
    EXPECT_TRUE(pb->getRect() == Rect(80, 60, 281, 210));
    pb->grabRegion(Region(pb->getRect()));
    EXPECT_TRUE(pixelsMatch(*pb, [&](int x, int y) { return painter.at(x, y); }));
  });
}

TEST_P(GrabWays, ChildWindowsArePartOfTheImage) {
  run([this] {
    Painter painter;
    painter.fill(painter.screen(), 0);
    Display* dpy = tx::display();
    Window child = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 50, 60, 40, 30, 0, 0,
                                       painter.pixel(4));
    XMapWindow(dpy, child);
    painter.sync();
    auto pb = makeBuffer();
    pb->grabRegion(Region(pb->getRect()));
    const Rect window = Rect::fromXYWH(50, 60, 40, 30);
    // Used to miss with the shared pixmap: the copy's graphics context
    // clipped the root window by its children, leaving their areas out.
    EXPECT_TRUE(pixelsMatch(*pb, [&](int x, int y) {
      return window.contains(rfb::Point(x, y)) ? painter.pixel(4) : painter.pixel(0);
    }));
    XDestroyWindow(dpy, child);
    painter.sync();
  });
}

// Reads the segment through its description in a forked process and
// compares it with the bytes the buffer holds.
TEST_P(GrabWays, SegmentIsReadableFromAnotherProcess) {
  run([this] {
    Painter painter;
    painter.paintRandom(6);
    auto pb = makeBuffer();
    pb->grabRegion(Region(pb->getRect()));
    plat::SharedMem* shm = pb->getSharedMem();
    const std::vector<uint8_t> description = shm->description();
    const std::vector<uint8_t> expected(shm->data(), shm->data() + shm->size());
    ASSERT_TRUE(pixelsMatch(*pb, [&](int x, int y) { return painter.at(x, y); }));

    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int status = 1;
      try {
        rdr::MemInStream is(description.data(), description.size());
        std::unique_ptr<plat::SharedMem> opened = plat::SharedMemFactory::read(is);
        bool same = opened->size() >= expected.size() &&
                    std::memcmp(opened->data(), expected.data(), expected.size()) == 0;
        status = same ? 0 : 2;
      } catch (...) {
        status = 3;
      }
      _exit(status);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
  });
}

// System V segments this process created, as /proc/sysvipc/shm lists them.
std::set<int> sysVSegmentsOfThisProcess() {
  return shmtest::sysvSegmentsOf(getpid());
}

TEST_P(GrabWays, NothingIsLeftAfterDestruction) {
  run([this] {
    EXPECT_TRUE(sysVSegmentsOfThisProcess().empty());
    auto pb = makeBuffer();
    pb->grabRegion(Region(pb->getRect()));
    plat::SharedMem* shm = pb->getSharedMem();
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
      EXPECT_EQ(shmtest::posixObjectsOf(getpid()), std::set<std::string>{name.substr(1)});
      pb.reset();
      EXPECT_TRUE(shmtest::posixObjectsOf(getpid()).empty());
    }
    EXPECT_TRUE(sysVSegmentsOfThisProcess().empty());
  });
}

TEST_P(GrabWays, XErrorsDuringAGrabAreAbsorbed) {
  run([this] {
    Painter painter;
    painter.paintRandom(7);
    Display* dpy = tx::display();
    // An unmapped window has no image to read: the server answers BadMatch.
    Window hidden = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, 64, 48, 0, 0, 0);
    painter.sync();
    if (!GetParam().useXShm)
      plat::Configuration::global().setParam("_UseXShm", "0", 10);
    tx::PixelBufferX11 pb(hidden, nullptr, Rect(), GetParam().fastest);
    EXPECT_TRUE(pb.getRect() == Rect(0, 0, 64, 48));
    const uint32_t marker = painter.unusedPixel();
    pb.fillRect(pb.getRect(), marker);
    // Used to end the process through Xlib's default error handler on the
    // plain way.
    pb.grabRegion(Region(pb.getRect()));
    pb.grabRegion(Region(Rect(3, 3, 9, 9)));
    // A copy from an unmapped window is not an error, and what it copies is
    // undefined, so only the image ways have pixels to check.
    if (pb.method() != Method::shmPixmap)
      EXPECT_TRUE(pixelsMatch(pb, [&](int, int) { return marker; }));
    XDestroyWindow(dpy, hidden);
    painter.sync();
  });
}

INSTANTIATE_TEST_SUITE_P(Ways, GrabWays, ::testing::ValuesIn(wayCases),
                         [](const ::testing::TestParamInfo<WayCase>& info) {
                           return std::string(info.param.name);
                         });

// ---- Construction on particular servers ----

TEST(PixelBufferX11, Depth16IsRgb565) {
  inServer(ServerKind::depth16, [] {
    tx::PixelBufferX11 pb(DefaultRootWindow(tx::display()), nullptr);
    EXPECT_EQ(pb.getPF().print(), "depth 16 (16 bpp) little-endian rgb565");
    EXPECT_EQ(pb.getColourMap(), nullptr);
    EXPECT_EQ(pb.getStride(), grabtest::screenWidth);
  });
}

TEST(PixelBufferX11, Depth24IsRgb888InFourBytes) {
  inServer(ServerKind::depth24, [] {
    tx::PixelBufferX11 pb(DefaultRootWindow(tx::display()), nullptr);
    EXPECT_EQ(pb.getPF().print(), "depth 24 (32 bpp) little-endian rgb888");
    EXPECT_EQ(pb.getColourMap(), nullptr);
    EXPECT_EQ(pb.scanlinePad(), 32);
  });
}

TEST(PixelBufferX11, MissingWindowFailsGeometry) {
  inServer(ServerKind::depth24, [] {
    Display* dpy = tx::display();
    // An id of this client that names nothing.
    Window missing = XAllocID(dpy);
    try {
      tx::PixelBufferX11 pb(missing, nullptr);
      ADD_FAILURE() << "constructed";
    } catch (const plat::Exception& e) {
      EXPECT_STREQ(e.str(), "XGetGeometry failed");
    }
    EXPECT_TRUE(sysVSegmentsOfThisProcess().empty());
  });
}

// The X server runs as nobody: it may attach only segments handed to it.
TEST(PixelBufferX11Owner, WithoutTheServerOwnerTheAttachIsRefused) {
  inServer(ServerKind::nobody, [] {
    testsupport::LogRecorder recorder("PixelBufferX11", 110);
    // Not root: the server runs as this user, so refuse it with mode 0.
    ipc_perm closed{};
    closed.uid = getuid();
    closed.gid = getgid();
    closed.mode = 0;
    const ipc_perm* perm = geteuid() == 0 ? nullptr : &closed;
    tx::PixelBufferX11 pb(DefaultRootWindow(tx::display()), perm);
    EXPECT_EQ(pb.method(), Method::plainImage);
    EXPECT_EQ(pb.getSharedMem()->description().at(0), plat::SharedMem::typePosix);
    std::vector<std::string> lines = recorder.texts("PixelBufferX11");
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
      return line.find("XShmAttach failed") != std::string::npos;
    }));
    EXPECT_TRUE(contains(lines, "Using non-shm XImage"));
    // The System V segment made for the refused attach is gone again.
    EXPECT_TRUE(sysVSegmentsOfThisProcess().empty());

    Painter painter;
    painter.paintRandom(8);
    pb.grabRegion(Region(pb.getRect()));
    EXPECT_TRUE(pixelsMatch(pb, [&](int x, int y) { return painter.at(x, y); }));
  });
}

TEST(PixelBufferX11Owner, SegmentsHandedToTheServerOwnerAreAttached) {
  inServer(ServerKind::nobody, [] {
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

    Painter painter;
    painter.paintRandom(9);
    pb->grabRegion(Region(pb->getRect()));
    EXPECT_TRUE(pixelsMatch(*pb, [&](int x, int y) { return painter.at(x, y); }));
    pb.reset();
    EXPECT_TRUE(sysVSegmentsOfThisProcess().empty());
  });
}

} // namespace
