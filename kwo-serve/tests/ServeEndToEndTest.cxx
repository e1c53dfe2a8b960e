// kwo-serve end to end: a private X display with a known pattern, the real
// kwo-serve and agent binaries, and real viewers (LibVNCClient, vncsnapshot).

#include "ServeFixture.h"

#include "base/plat/unix/SharedMemSysV.h"
#include "base/rfb/Rect.h"
#include "testsupport/BackgroundChild.h"

// GoogleTest before Xlib: Xlib's macros (None, Bool) break its templates.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <cstdio>
#include <csignal>
#include <dirent.h>
#include <filesystem>
#include <jpeglib.h>
#include <set>
#include <thread>
#include <unistd.h>

namespace kwoserve::test {

namespace {

// POSIX objects of `pid`: the agent names them "kwo-<pid>-<serial>".
std::set<std::string> shmEntriesOf(pid_t pid) {
  std::set<std::string> names;
  std::string prefix = "kwo-" + std::to_string(pid) + "-";
  for (const auto& entry : std::filesystem::directory_iterator("/dev/shm")) {
    std::string name = entry.path().filename();
    if (name.compare(0, prefix.size(), prefix) == 0)
      names.insert(name);
  }
  return names;
}

// System V segments created by `pid` (other tests may run meanwhile).
std::set<std::string> sysvSegmentsOf(pid_t pid) {
  std::set<std::string> ids;
  FILE* f = fopen("/proc/sysvipc/shm", "r");
  if (!f)
    return ids;
  char line[512];
  fgets(line, sizeof(line), f);  // header
  while (fgets(line, sizeof(line), f)) {
    long key, id, perms, size, cpid;
    if (sscanf(line, "%ld %ld %lo %ld %ld", &key, &id, &perms, &size, &cpid) == 5 && cpid == pid)
      ids.insert(std::to_string(id));
  }
  fclose(f);
  return ids;
}

// Whether `condition` holds within 30 s, checked every 10 ms.
template <typename Condition>
bool eventually(Condition condition) {
  for (int i = 0; i < 3000; i++) {
    if (condition())
      return true;
    usleep(10000);
  }
  return condition();
}

// The pattern as seen through a viewer: the centre of every tile.
void expectPattern(const std::function<Rgb8(int, int)>& pixel, int tolerance) {
  for (int ty = 0; ty < 768 / tileSize; ty++) {
    for (int tx = 0; tx < 1024 / tileSize; tx++) {
      SCOPED_TRACE(testing::Message() << "tile " << tx << "," << ty);
      Rgb8 want = tileColour(tx, ty);
      Rgb8 got = pixel(tx * tileSize + tileSize / 2, ty * tileSize + tileSize / 2);
      EXPECT_TRUE(near(got, want, tolerance))
          << got.r << "," << got.g << "," << got.b << " vs " << want.r << "," << want.g << ","
          << want.b;
    }
  }
}

bool patternShown(Viewer& viewer) {
  for (int ty = 0; ty < 768 / tileSize; ty++)
    for (int tx = 0; tx < 1024 / tileSize; tx++)
      if (!near(viewer.pixel(tx * tileSize + tileSize / 2, ty * tileSize + tileSize / 2),
                tileColour(tx, ty), 0))
        return false;
  return true;
}

struct Jpeg {
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;
};

Jpeg readJpeg(const std::string& path) {
  Jpeg out;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f)
    return out;
  jpeg_decompress_struct info;
  jpeg_error_mgr err;
  info.err = jpeg_std_error(&err);
  jpeg_create_decompress(&info);
  jpeg_stdio_src(&info, f);
  jpeg_read_header(&info, TRUE);
  info.out_color_space = JCS_RGB;
  jpeg_start_decompress(&info);
  out.width = int(info.output_width);
  out.height = int(info.output_height);
  out.rgb.resize(size_t(out.width) * out.height * 3);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = out.rgb.data() + size_t(info.output_scanline) * out.width * 3;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  fclose(f);
  return out;
}

// Reads CLIPBOARD as UTF-8 text from the X side.
std::string readClipboard(Display* dpy, Window w) {
  Atom clipboard = XInternAtom(dpy, "CLIPBOARD", False);
  Atom utf8 = XInternAtom(dpy, "UTF8_STRING", False);
  Atom prop = XInternAtom(dpy, "KWO_TEST_PASTE", False);
  XConvertSelection(dpy, clipboard, utf8, prop, w, CurrentTime);
  XFlush(dpy);
  auto end = std::chrono::steady_clock::now() + deadline;
  while (std::chrono::steady_clock::now() < end) {
    while (XPending(dpy)) {
      XEvent ev;
      XNextEvent(dpy, &ev);
      if (ev.type != SelectionNotify)
        continue;
      if (ev.xselection.property == None)
        return {};
      Atom type;
      int format;
      unsigned long n, after;
      unsigned char* data = nullptr;
      XGetWindowProperty(dpy, w, prop, 0, 1 << 20, True, AnyPropertyType, &type, &format, &n,
                         &after, &data);
      std::string text(data ? reinterpret_cast<char*>(data) : "", n);
      if (data)
        XFree(data);
      return text;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return {};
}


// The agent's shared buffer (a System V segment on Xvfb) holds what the X
// server shows, pixel for pixel.
bool agentBufferShowsTheScreen(pid_t agent, const Picture& screen) {
  std::set<std::string> ids = sysvSegmentsOf(agent);
  if (ids.size() != 1)
    return false;
  auto segment = plat::SharedMemSysV::attach(std::stoi(*ids.begin()),
                                             uint32_t(screen.width * screen.height * 4),
                                             plat::SharedMem::Access::readOnly);
  const uint8_t* p = segment->data();
  for (int y = 0; y < screen.height; y++) {
    for (int x = 0; x < screen.width; x++, p += 4) {
      Rgb8 want = screen.pixel(x, y);
      if (!near(Rgb8{p[2], p[1], p[0]}, want, 0))
        return false;
    }
  }
  return true;
}

// The smallest rectangle holding every pixel in which the viewer's picture
// differs from the screen; empty when none does.
rfb::Rect differingArea(const Viewer& viewer, const Picture& screen) {
  rfb::Rect area;
  for (int y = 0; y < screen.height; y++)
    for (int x = 0; x < screen.width; x++)
      if (!near(viewer.pixel(x, y), screen.pixel(x, y), 0))
        area = area.unionBoundary(rfb::Rect(x, y, x + 1, y + 1));
  return area;
}

} // namespace

class ServeEndToEnd : public testing::Test {
protected:
  PatternDisplay display;
};

TEST_F(ServeEndToEnd, ViewerSeesTheDisplaysPatternPixelForPixel) {
  ServeRun serve(display.name());
  ASSERT_TRUE(serve.waitListening()) << serve.log();
  Viewer viewer(serve.port());
  ASSERT_TRUE(viewer.connected()) << serve.log();
  EXPECT_EQ(viewer.client()->width, 1024);
  EXPECT_EQ(viewer.client()->height, 768);
  EXPECT_TRUE(viewer.waitUntil([&] { return patternShown(viewer); })) << serve.log();
  expectPattern([&](int x, int y) { return viewer.pixel(x, y); }, 0);

  // A change on the X screen reaches the viewer.
  display.fill({10, 200, 30});
  EXPECT_TRUE(viewer.waitUntil([&] { return near(viewer.pixel(500, 400), {10, 200, 30}, 0); }))
      << serve.log();
}

TEST_F(ServeEndToEnd, VncsnapshotPictureMatchesTheScreen) {
  ServeRun serve(display.name());
  ASSERT_TRUE(serve.waitListening()) << serve.log();
  std::string path = std::filesystem::temp_directory_path() /
                     ("kwo-serve-snap-" + std::to_string(getpid()) + ".jpg");
  std::string command = "vncsnapshot -quiet -quality 100 127.0.0.1::" +
                        std::to_string(serve.port()) + " " + path + " 2>&1";
  ASSERT_EQ(system(command.c_str()), 0) << serve.log();
  Jpeg jpeg = readJpeg(path);
  std::filesystem::remove(path);
  ASSERT_EQ(jpeg.width, 1024);
  ASSERT_EQ(jpeg.height, 768);
  // JPEG at quality 100 still rounds colours a little.
  expectPattern(
      [&](int x, int y) {
        const uint8_t* p = jpeg.rgb.data() + (size_t(y) * jpeg.width + x) * 3;
        return Rgb8{p[0], p[1], p[2]};
      },
      12);
}

TEST_F(ServeEndToEnd, TypingAndClickingReachTheWindowAndTheViewerSeesTheResult) {
  ServeRun serve(display.name(), {"-loglevel", "110"});
  ASSERT_TRUE(serve.waitListening()) << serve.log();
  Viewer viewer(serve.port());
  ASSERT_TRUE(viewer.connected());
  ASSERT_TRUE(viewer.waitUntil([&] { return patternShown(viewer); })) << serve.log();

  std::string typed;
  int clicks = 0;
  auto drain = [&] {
    while (XPending(display.dpy())) {
      XEvent ev;
      XNextEvent(display.dpy(), &ev);
      if (ev.type == KeyPress) {
        char buffer[8];
        KeySym sym;
        int n = XLookupString(&ev.xkey, buffer, sizeof(buffer), &sym, nullptr);
        typed.append(buffer, size_t(n));
        // The window answers each key with a colour the viewer must see.
        display.fill({int(typed.size()) * 40 % 256, 60, 90});
      } else if (ev.type == ButtonPress) {
        clicks++;
        display.fill({250, 250, 0});
      }
    }
  };
  for (char c : std::string("kwo")) {
    SendKeyEvent(viewer.client(), uint32_t(c), TRUE);
    SendKeyEvent(viewer.client(), uint32_t(c), FALSE);
  }
  EXPECT_TRUE(viewer.waitUntil([&] {
    drain();
    return typed == "kwo" && near(viewer.pixel(300, 300), {120, 60, 90}, 0);
  })) << "typed '" << typed << "'\n" << serve.log();

  SendPointerEvent(viewer.client(), 200, 200, 0);
  SendPointerEvent(viewer.client(), 200, 200, rfbButton1Mask);
  SendPointerEvent(viewer.client(), 200, 200, 0);
  EXPECT_TRUE(viewer.waitUntil([&] {
    drain();
    return clicks == 1 && near(viewer.pixel(600, 600), {250, 250, 0}, 0);
  })) << serve.log();
}

TEST_F(ServeEndToEnd, ClipboardTextRoundTripsBetweenViewerAndXClient) {
  ServeRun serve(display.name());
  ASSERT_TRUE(serve.waitListening()) << serve.log();
  Viewer viewer(serve.port());
  ASSERT_TRUE(viewer.connected());
  ASSERT_TRUE(viewer.waitUntil([&] { return patternShown(viewer); })) << serve.log();

  // Viewer to X: the agent offers the text as CLIPBOARD.
  std::string fromViewer = "from the viewer \xe9";  // Latin-1 e-acute
  SendClientCutText(viewer.client(), fromViewer.data(), int(fromViewer.size()));
  std::string pasted;
  viewer.waitUntil([&] {
    pasted = readClipboard(display.dpy(), display.window());
    return pasted == "from the viewer \xc3\xa9";
  });
  EXPECT_EQ(pasted, "from the viewer \xc3\xa9") << serve.log();

  // X to viewer: an X client owns CLIPBOARD; the viewer gets the text.
  Display* dpy = display.dpy();
  Window owner = display.window();
  Atom clipboard = XInternAtom(dpy, "CLIPBOARD", False);
  Atom utf8 = XInternAtom(dpy, "UTF8_STRING", False);
  Atom targets = XInternAtom(dpy, "TARGETS", False);
  std::string fromX = "copied on the desktop";
  XSetSelectionOwner(dpy, clipboard, owner, CurrentTime);
  XSync(dpy, False);
  auto serveRequests = [&] {
    while (XPending(dpy)) {
      XEvent ev;
      XNextEvent(dpy, &ev);
      if (ev.type != SelectionRequest)
        continue;
      XSelectionRequestEvent& req = ev.xselectionrequest;
      XSelectionEvent reply{};
      reply.type = SelectionNotify;
      reply.requestor = req.requestor;
      reply.selection = req.selection;
      reply.target = req.target;
      reply.time = req.time;
      reply.property = req.property == None ? req.target : req.property;
      if (req.target == targets) {
        Atom list[] = {targets, utf8, XA_STRING};
        XChangeProperty(dpy, req.requestor, reply.property, XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<unsigned char*>(list), 3);
      } else if (req.target == utf8 || req.target == XA_STRING) {
        XChangeProperty(dpy, req.requestor, reply.property, req.target, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(fromX.data()), int(fromX.size()));
      } else {
        reply.property = None;
      }
      XSendEvent(dpy, req.requestor, False, 0, reinterpret_cast<XEvent*>(&reply));
      XFlush(dpy);
    }
  };
  EXPECT_TRUE(viewer.waitUntil([&] {
    serveRequests();
    return viewer.cutText() == fromX;
  })) << "viewer got '" << viewer.cutText() << "'\n" << serve.log();
}

// Used to go wrong: a copy of that size comes in chunks (INCR), which the
// agent dropped; a classic cut text of it would also be more than
// LibVNCClient takes, so it travels as an extended clipboard text.
TEST_F(ServeEndToEnd, FiveMegabyteDesktopCopyReachesTheViewerWhole) {
  ServeRun serve(display.name());
  ASSERT_TRUE(serve.waitListening()) << serve.log();
  Viewer viewer(serve.port());
  ASSERT_TRUE(viewer.connected());
  ASSERT_TRUE(viewer.waitUntil([&] { return patternShown(viewer); })) << serve.log();

  std::string text(5 * 1024 * 1024, 'k');
  for (size_t i = 0; i < text.size(); i += 83)
    text[i] = char('0' + i % 10);
  // xclip serves the copy until another client takes the clipboard.
  testsupport::BackgroundChild copy({"xclip", "-selection", "clipboard", "-i", "-quiet"},
                                    {{"DISPLAY", display.name()}}, text);
  EXPECT_TRUE(viewer.waitUntil([&] { return viewer.cutText().size() == text.size(); }))
    << viewer.cutText().size() << " bytes arrived\n" << serve.log();
  EXPECT_TRUE(viewer.cutText() == text);
  Display* dpy = display.dpy();
  XSetSelectionOwner(dpy, XInternAtom(dpy, "CLIPBOARD", False), display.window(), CurrentTime);
  XSync(dpy, False);
}

TEST_F(ServeEndToEnd, KillingTheAgentEndsKwoServeWithAClearMessage) {
  ServeRun serve(display.name());
  ASSERT_TRUE(serve.waitListening()) << serve.log();
  ASSERT_TRUE(serve.waitLog("Agent connected")) << serve.log();
  pid_t agent = serve.agentPid();
  ASSERT_GT(agent, 0);
  kill(agent, SIGKILL);
  EXPECT_EQ(serve.waitExit(), 1);
  std::string log = serve.log();
  EXPECT_TRUE(log.find("the agent closed its connection") != std::string::npos ||
              log.find("the agent ended") != std::string::npos)
      << log;
}

TEST_F(ServeEndToEnd, SigtermEndsKwoServeAndItsAgentAndLeavesNoSharedMemory) {
  pid_t agent = -1;
  {
    ServeRun serve(display.name());
    ASSERT_TRUE(serve.waitListening()) << serve.log();
    ASSERT_TRUE(serve.waitLog("Agent connected")) << serve.log();
    agent = serve.agentPid();
    ASSERT_GT(agent, 0);
    // A viewer makes the agent build its shared buffer.
    Viewer viewer(serve.port());
    ASSERT_TRUE(viewer.connected());
    viewer.waitUntil([&] { return patternShown(viewer); });
    kill(serve.pid(), SIGTERM);
    EXPECT_EQ(serve.waitExit(), 0) << serve.log();
    EXPECT_NE(serve.log().find("received Terminated, shutting down"), std::string::npos)
        << serve.log();
  }
  // The agent was reaped by kwo-serve: no such process any more.
  EXPECT_NE(kill(agent, 0), 0);
  // A segment the X server still has attached lingers, marked for removal,
  // until the server has dealt with the agent's departure.
  EXPECT_TRUE(eventually([&] { return sysvSegmentsOf(agent).empty(); }))
      << testing::PrintToString(sysvSegmentsOf(agent));
  EXPECT_EQ(shmEntriesOf(agent), std::set<std::string>{});
}

// Used to go wrong: LibVNCServer drew its cursor, at 0,0, into the agent's
// own buffer, and the agent's start-up damage test, seeing pixels change
// where no damage was reported, switched to polling the whole screen.
TEST_F(ServeEndToEnd, ACursorDrawnForTheViewerLeavesTheAgentOnDamage) {
  XWarpPointer(display.dpy(), 0, DefaultRootWindow(display.dpy()), 0, 0, 0, 0, 400, 300);
  XSync(display.dpy(), False);
  ServeRun serve(display.name());
  ASSERT_TRUE(serve.waitListening()) << serve.log();
  Viewer viewer(serve.port());
  ASSERT_TRUE(viewer.connected()) << serve.log();
  // No cursor shapes asked for: the server draws the cursor into the pixels.
  ASSERT_FALSE(viewer.client()->appData.useRemoteCursor);
  ASSERT_TRUE(viewer.waitUntil([&] { return patternShown(viewer); })) << serve.log();
  // From the first picture on, the cursor is where the pointer is.
  rfb::Rect cursor = differingArea(viewer, display.picture());
  EXPECT_FALSE(cursor.isEmpty());
  EXPECT_TRUE(rfb::Rect(368, 268, 432, 332).encloses(cursor)) << cursor.print();

  // Idle past the damage test's first look at the screen (5 s), then a
  // change that it sees reported.
  auto idleEnd = std::chrono::steady_clock::now() + std::chrono::seconds(6);
  viewer.waitUntil([&] { return std::chrono::steady_clock::now() > idleEnd; });
  display.fill({10, 200, 30});
  EXPECT_TRUE(viewer.waitUntil([&] {
    return serve.log().find("Damage test: any 1 all 1") != std::string::npos;
  })) << serve.log();
  EXPECT_EQ(serve.log().find("Using polling"), std::string::npos) << serve.log();
  EXPECT_TRUE(viewer.waitUntil(
      [&] { return agentBufferShowsTheScreen(serve.agentPid(), display.picture()); }));
}

TEST(ServeSafety, RefusesToListenBeyondLoopbackWithoutAPassword) {
  ServeRun serve(":0", {"-listen", "0.0.0.0"});
  EXPECT_EQ(serve.waitExit(), 1);
  EXPECT_NE(serve.log().find("refusing to listen on 0.0.0.0 without a password"),
            std::string::npos)
      << serve.log();
}

} // namespace kwoserve::test
