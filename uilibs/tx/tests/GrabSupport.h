#pragma once

// Screen-grabbing tests: private X servers, and known pictures on the root
// window with a reference copy of their pixels. The toolkit holds one display
// connection per process and never closes it, so a test that needs a server
// of its own (another depth, no MIT-SHM, a server running as another user)
// runs its body in a fresh copy of this binary, started with --gtest_filter
// naming that one test and the server's name in the environment.

#include "uilibs/tx/PixelBufferX11.h"
#include "uilibs/tx/TXUtil.h"

#include "base/rfb/Region.h"
#include "testsupport/ChildProcess.h"
#include "testsupport/TempDir.h"
#include "testsupport/XvfbServer.h"

#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>

namespace grabtest {

enum class ServerKind { depth24, depth16, depth8, noShm, nobody };

constexpr int screenWidth = 320;
constexpr int screenHeight = 240;
constexpr uid_t nobodyUid = 65534;
constexpr gid_t nobodyGid = 65534;

// Runs as the user nobody when the tests run as root (so that it may not
// attach segments that still belong to the test's user): a wrapper named
// Xvfb first in PATH drops itself from PATH and runs the real one.
inline std::unique_ptr<testsupport::XvfbServer> startServer(ServerKind kind) {
  testsupport::XvfbServer::Options options;
  options.width = screenWidth;
  options.height = screenHeight;
  if (kind == ServerKind::depth16 || kind == ServerKind::depth8)
    options.depth = kind == ServerKind::depth16 ? 16 : 8;
  if (kind == ServerKind::noShm)
    options.disabledExtensions = {"MIT-SHM"};
  if (kind != ServerKind::nobody || geteuid() != 0)
    return std::make_unique<testsupport::XvfbServer>(options);
  testsupport::TempDir dir("kwo-grabtest");
  std::ofstream(dir.path() + "/Xvfb") << "#!/bin/sh\nPATH=${PATH#*:}\nexec setpriv --reuid="
                                      << nobodyUid << " --regid=" << nobodyGid
                                      << " --clear-groups Xvfb \"$@\"\n";
  std::filesystem::permissions(dir.path() + "/Xvfb", std::filesystem::perms::owner_all);
  std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
  setenv("PATH", (dir.path() + ":" + oldPath).c_str(), 1);
  auto server = std::make_unique<testsupport::XvfbServer>(options);
  setenv("PATH", oldPath.c_str(), 1);
  return server;
}

// Runs `body` with the toolkit connection open on a server of `kind`: in a
// child started for that kind, directly (bodies of other kinds are skipped);
// in the parent (one server per kind, stopped at exit), by running the
// current test again in a child, once per kind, and reporting its output.
inline void inServer(ServerKind kind, const std::function<void()>& body) {
  if (const char* name = std::getenv("KWO_GRAB_TEST_DISPLAY")) {
    if (std::atoi(std::getenv("KWO_GRAB_TEST_KIND")) != int(kind))
      return;
    tx::openDisplay(name);
    body();
    return;
  }
  static std::map<ServerKind, std::unique_ptr<testsupport::XvfbServer>> servers;
  static std::set<std::pair<std::string, ServerKind>> run;
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string filter = std::string(test->test_suite_name()) + "." + test->name();
  if (!run.insert({filter, kind}).second)
    return;
  if (!servers[kind])
    servers[kind] = startServer(kind);
  testsupport::ChildResult result = testsupport::ChildProcess::run(
    {"/proc/self/exe", "--gtest_filter=" + filter, "--gtest_color=no"},
    {{"KWO_GRAB_TEST_DISPLAY", servers[kind]->displayName()},
     {"KWO_GRAB_TEST_KIND", std::to_string(int(kind))}});
  EXPECT_TRUE(result.exited && result.exitStatus == 0) << result.out << result.err;
  // A filter that matched nothing would pass without testing anything.
  EXPECT_NE(result.out.find("[  PASSED  ] 1 test"), std::string::npos) << result.out;
}

// 8-bit colours that survive every depth under test distinctly.
struct Rgb8 {
  uint8_t r, g, b;
};
inline const std::vector<Rgb8>& palette() {
  static const std::vector<Rgb8> colours = {
    {0, 0, 0},     {255, 255, 255}, {255, 0, 0},   {0, 255, 0},  {0, 0, 255},
    {255, 255, 0}, {0, 255, 255},   {255, 0, 255}, {128, 64, 0}, {32, 160, 96},
  };
  return colours;
}

// Paints the root window and keeps what it painted.
class Painter {
public:
  Painter()
    : dpy_(tx::display()), root_(DefaultRootWindow(dpy_)),
      gc_(XCreateGC(dpy_, root_, 0, nullptr)), reference_(size_t(screenWidth * screenHeight)) {
    for (const Rgb8& c : palette()) {
      XColor colour{0, uint16_t(c.r * 257), uint16_t(c.g * 257), uint16_t(c.b * 257), 0, 0};
      EXPECT_TRUE(XAllocColor(dpy_, DefaultColormap(dpy_, DefaultScreen(dpy_)), &colour));
      pixels_.push_back(uint32_t(colour.pixel));
    }
  }
  ~Painter() { XFreeGC(dpy_, gc_); }

  rfb::Rect screen() const { return rfb::Rect(0, 0, screenWidth, screenHeight); }
  uint32_t pixel(size_t colour) const { return pixels_[colour % pixels_.size()]; }
  uint32_t at(int x, int y) const { return reference_[size_t(y * screenWidth + x)]; }
  const std::vector<uint32_t>& snapshot() const { return reference_; }
  // A pixel value that no palette entry has.
  uint32_t unusedPixel() const {
    uint32_t candidate = 1;
    while (std::find(pixels_.begin(), pixels_.end(), candidate) != pixels_.end())
      candidate++;
    return candidate;
  }

  void fill(const rfb::Rect& rect, size_t colour) {
    rfb::Rect r = rect.intersect(screen());
    XSetForeground(dpy_, gc_, pixel(colour));
    XFillRectangle(dpy_, root_, gc_, r.tl.x, r.tl.y, unsigned(r.width()), unsigned(r.height()));
    for (int y = r.tl.y; y < r.br.y; y++)
      for (int x = r.tl.x; x < r.br.x; x++)
        reference_[size_t(y * screenWidth + x)] = pixel(colour);
  }

  // A background and `count` rectangles of random places, sizes and colours.
  void paintRandom(uint32_t seed, int count = 40) {
    std::mt19937 rng(seed);
    fill(screen(), rng());
    for (int i = 0; i < count; i++)
      fill(rfb::Rect::fromXYWH(int(rng() % screenWidth), int(rng() % screenHeight),
                               1 + int(rng() % 90), 1 + int(rng() % 70)),
           rng());
    XSync(dpy_, False);
  }

private:
  Display* dpy_;
  Window root_;
  GC gc_;
  std::vector<uint32_t> reference_;
  std::vector<uint32_t> pixels_;
};

inline bool inRegion(const rfb::Region& region, int x, int y) {
  for (const rfb::RgnRect& box : region.boxes())
    if (x >= box.x1 && x < box.x2 && y >= box.y1 && y < box.y2)
      return true;
  return false;
}

// Every pixel of the buffer against `expected`: the number of mismatches
// and the first few.
inline ::testing::AssertionResult pixelsMatch(const tx::PixelBufferX11& pb,
                                             const std::function<uint32_t(int, int)>& expected) {
  std::ostringstream first;
  int mismatches = 0;
  const rfb::Rect& rect = pb.getRect();
  for (int y = rect.tl.y; y < rect.br.y; y++) {
    for (int x = rect.tl.x; x < rect.br.x; x++) {
      uint32_t want = expected(x, y), got = pb.getPixel(x, y);
      if (got != want && mismatches++ < 5)
        first << " (" << x << "," << y << "): got " << got << " want " << want;
    }
  }
  if (mismatches == 0)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << mismatches << " pixels differ;" << first.str();
}

// Pixels in `region` as the painter painted them, the others as in `before`.
inline std::function<uint32_t(int, int)> refreshed(const Painter& painter,
                                                   const rfb::Region& region,
                                                   const std::vector<uint32_t>& before) {
  return [&painter, region, &before](int x, int y) {
    return inRegion(region, x, y) ? painter.at(x, y) : before[size_t(y * screenWidth + x)];
  };
}

} // namespace grabtest
