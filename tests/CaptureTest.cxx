// The agent binary capturing a private X server: the announced shared
// buffer holds the screen, drawing reaches it and the next updates (through
// XDAMAGE, and through polling without it), resizes announce a new buffer, stop blacks
// the buffer, the damage test and audit catch changes damage does not
// report, and an 8-bit screen sends its colours. Viewer input and the
// pointer moved at the desktop are seen on the same screen.

#include "AgentTestPeer.h"

#include "libs/agenthost/SharedPixelBuffer.h"
#include "testsupport/FramebufferFile.h"
#include "testsupport/RootPainter.h"

#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>

#include "uilibs/tx/XrandrFns.h"

#include <cstring>

namespace e2e {
namespace {

uint32_t pixelOf(const agenthost::SharedPixelBuffer& buffer, int x, int y) {
  uint32_t value = 0;
  std::memcpy(&value, buffer.pixelAt(x, y), sizeof(value));
  return value;
}

// A second application on the X server: draws on the root window, reads the
// screen and the pointer back and resizes the screen through RandR.
class XClient : public testsupport::RootPainter {
public:
  using RootPainter::RootPainter;

  rfb::Rect screenRect() {
    XWindowAttributes attrs;
    XGetWindowAttributes(dpy(), root(), &attrs);
    return rfb::Rect(0, 0, attrs.width, attrs.height);
  }

  rfb::Point pointer() {
    Window rootReturn, child;
    int x = -1, y = -1, winX, winY;
    unsigned mask;
    XQueryPointer(dpy(), root(), &rootReturn, &child, &x, &y, &winX, &winY, &mask);
    return rfb::Point(x, y);
  }

  // Number of pixels in `rect` where `buffer` differs from the screen.
  int mismatches(const agenthost::SharedPixelBuffer& buffer, const rfb::Rect& rect) {
    XImage* image = XGetImage(dpy(), root(), rect.tl.x, rect.tl.y, unsigned(rect.width()),
                              unsigned(rect.height()), AllPlanes, ZPixmap);
    int count = 0;
    for (int y = 0; y < rect.height(); y++) {
      for (int x = 0; x < rect.width(); x++)
        count += pixelOf(buffer, rect.tl.x + x, rect.tl.y + y) != uint32_t(XGetPixel(image, x, y));
    }
    XDestroyImage(image);
    return count;
  }

  // Shrinks the screen to w x h with a mode of that size on its one CRTC.
  void shrinkScreen(int w, int h) {
    XRRScreenResources* res = tx::XRRGetScreenResources(dpy(), root());
    std::string name = std::to_string(w) + "x" + std::to_string(h) + "_test";
    XRRModeInfo* mode = tx::XRRAllocModeInfo(name.c_str(), int(name.size()));
    mode->width = mode->hTotal = unsigned(w);
    mode->height = mode->vTotal = unsigned(h);
    mode->dotClock = 60ul * unsigned(w) * unsigned(h);
    RRMode id = tx::XRRCreateMode(dpy(), root(), mode);
    tx::XRRAddOutputMode(dpy(), res->outputs[0], id);
    tx::XRRSetCrtcConfig(dpy(), res, res->crtcs[0], CurrentTime, 0, 0, id, RR_Rotate_0,
                         res->outputs, 1);
    tx::XRRSetScreenSize(dpy(), root(), w, h, w * 254 / 960, h * 254 / 960);
    XSync(dpy(), False);
    tx::XRRFreeModeInfo(mode);
    tx::XRRFreeScreenResources(res);
  }
};

class CaptureTest : public AgentTest {
protected:
  void startServer(testsupport::XvfbServer::Options options = {}) {
    client.reset();
    startXvfb(options);
    client = std::make_unique<XClient>(display);
  }

  // A server whose screen the returned file also holds: writes there change
  // the screen without damage.
  std::unique_ptr<testsupport::FramebufferFile> startServerWithFile(
    testsupport::XvfbServer::Options options = {}) {
    options.extraArguments = {"-fbdir", reports.path()};
    startServer(options);
    return std::make_unique<testsupport::FramebufferFile>(reports.path() + "/Xvfb_screen0",
                                                          1024, 768);
  }

  // Paints with `paint(shade)`, a new shade each time, until `count`
  // "captureBroken" reports have come.
  bool paintUntilReports(size_t count, const std::function<void(uint32_t)>& paint) {
    uint32_t shade = 0x204060;
    return until([&] {
      paint(shade++);
      return recorder.brokenReports.size() >= count;
    });
  }

  // Ordinary drawing until the start-up damage test has judged, which it
  // does once the screen has changed; damage passes it.
  void passStartupTest() {
    ASSERT_TRUE(paintUntilReports(1, [&](uint32_t shade) { client->fill(700, 100, 32, 32, shade); }));
    ASSERT_EQ(recorder.brokenReports, std::vector<bool>{false});
    ASSERT_TRUE(waitForLog("Damage test: any 1 all 1 non full 1"));
  }

  // Asks for updates until the mapped pixel at x, y is `rgb`; the union of
  // the changed regions of those updates.
  rfb::Region updatesUntilPixel(int x, int y, uint32_t rgb) {
    rfb::Region changed;
    for (int i = 0; i < 1000 && pixelOf(agent->pixelBuffer(), x, y) != rgb; i++) {
      agent->send(agentmsg::FbUpdateRequest{});
      if (!agent->waitForMsg("fbUpdate", deadlineMs))
        break;
      changed.assign_union(recorder.updates.back().changed);
    }
    EXPECT_EQ(pixelOf(agent->pixelBuffer(), x, y), rgb);
    return changed;
  }

  bool isWholeScreen(const rfb::Region& region) {
    return region.equals(rfb::Region(client->screenRect()));
  }

  void TearDown() override {
    AgentTest::TearDown();
    client.reset();
  }

  std::unique_ptr<XClient> client;
};

// Also viewer input: pointer events move the pointer (clamped to the
// screen), and the pointer moved at the desktop is reported back. (Keys and
// buttons: libs/svr's tests, and kwo-serve's end-to-end tests type and
// click from a real viewer.)
TEST_F(CaptureTest, TheAnnouncedBufferHoldsTheScreenAndChangesStopAndResizes) {
  startServer();
  client->fill(0, 0, 1024, 768, 0x336699);
  client->fill(10, 20, 200, 100, 0xff0000);
  launchAgent({{"CaptureMethod", "2"}});
  startDesktop();
  const agentmsg::SetPixelBuffer& announced = recorder.buffers.at(0);
  EXPECT_EQ(announced.rect, client->screenRect());
  EXPECT_TRUE(announced.segment.has_value());
  EXPECT_EQ(announced.pf.bpp, 32);
  EXPECT_EQ(client->mismatches(agent->pixelBuffer(), client->screenRect()), 0);
  EXPECT_EQ(pixelOf(agent->pixelBuffer(), 15, 25), 0xff0000u);
  // The cursor goes out after the pointer watch has read where the pointer
  // is; a move before that would be taken for the starting position.
  ASSERT_TRUE(agent->waitForMsg("setCursorImage", deadlineMs));
  EXPECT_TRUE(recorder.cursors.at(0).present);
  EXPECT_EQ(recorder.cursors[0].pixels.size(), size_t(recorder.cursors[0].rect.area()) * 4);

  agent->send(agentmsg::PointerEvent{123, 145, 0, false});
  EXPECT_TRUE(until([&] { return client->pointer() == rfb::Point(123, 145); }));
  agent->send(agentmsg::PointerEvent{5000, -20, 0, false});
  EXPECT_TRUE(until([&] { return client->pointer() == rfb::Point(1023, 0); }));
  XWarpPointer(client->dpy(), None, client->root(), 0, 0, 0, 0, 300, 200);
  XSync(client->dpy(), False);
  EXPECT_TRUE(until([&] {
    const auto& seen = recorder.cursorPositions;
    return recorder.localInputs > 0 && std::count(seen.begin(), seen.end(), rfb::Point(300, 200));
  }));

  EXPECT_TRUE(waitForLog("Using damage extension"));
  client->fill(500, 300, 40, 30, 0xffff00);
  rfb::Region changed = updatesUntilPixel(510, 310, 0xffff00);
  EXPECT_TRUE(rfb::Region(rfb::Rect(500, 300, 540, 330)).subtract(changed).isEmpty());
  // Damage names what changed, not the whole screen.
  EXPECT_FALSE(isWholeScreen(changed)) << changed.print();

  // Our own mapping of the first segment, kept after the agent lets it go.
  std::unique_ptr<plat::SharedMem> first =
    agenthost::SharedPixelBuffer::open(*recorder.buffers.at(0).segment);
  size_t bytes = size_t(recorder.buffers[0].stride) * 768 * 4;
  ASSERT_NE(first->data()[bytes / 2], 0);
  agent->send(agentmsg::Stop{});
  client->fill(0, 0, 100, 100, 0x0000ff);
  agent->send(agentmsg::Start{});
  ASSERT_TRUE(agent->waitForMsg("setPixelBuffer", deadlineMs));
  // Messages are handled in order: the old buffer was blacked before the
  // new one was announced.
  EXPECT_EQ(std::count(first->data(), first->data() + bytes, 0), long(bytes));
  EXPECT_EQ(pixelOf(agent->pixelBuffer(), 50, 50), 0x0000ffu);

  // At once: a resize right after the announcement used to be missed, the
  // root's structure events being selected only after it.
  client->shrinkScreen(800, 600);
  client->fill(700, 500, 50, 50, 0x00ffff);
  ASSERT_TRUE(agent->waitForMsg("setPixelBuffer", deadlineMs)) << recorder.allLogs();
  EXPECT_EQ(recorder.buffers.back().rect, rfb::Rect(0, 0, 800, 600));
  // A new segment: the old one was too large for nothing and is gone.
  EXPECT_TRUE(recorder.buffers.back().segment.has_value());
  EXPECT_EQ(client->mismatches(agent->pixelBuffer(), rfb::Rect(0, 0, 800, 600)), 0);
  client->fill(300, 300, 10, 10, 0xff8000);
  updatesUntilPixel(305, 305, 0xff8000);
}

// Polling takes over from damage that misses changes, and on an X server
// without DAMAGE. (The capture methods asked for: libs/svr's tests.)
TEST_F(CaptureTest, WithoutWorkingDamagePollingNamesTheWholeScreen) {
  for (bool damage : {true, false}) {
    SCOPED_TRACE(damage ? "damage missing changes" : "no DAMAGE");
    testsupport::XvfbServer::Options options;
    if (!damage)
      options.disabledExtensions = {"DAMAGE"};
    std::unique_ptr<testsupport::FramebufferFile> screen = startServerWithFile(options);
    launchAgent();
    startDesktop();
    if (damage) {
      // The test takes its snapshot at some moment after start: keep
      // changing the screen until it has judged.
      ASSERT_TRUE(paintUntilReports(1, [&](uint32_t shade) { screen->fill(64, 64, 64, 64, shade); }));
      EXPECT_EQ(recorder.brokenReports, std::vector<bool>{true});
      EXPECT_TRUE(waitForLog("Damage test: any 0 all 0 non full 0"));
    } else {
      EXPECT_TRUE(waitForLog("XDamage disabled / not present - unable to optimize capture"));
    }
    EXPECT_TRUE(waitForLog("Using polling"));
    screen->fill(600, 400, 16, 16, 0xc08040);
    EXPECT_TRUE(isWholeScreen(updatesUntilPixel(605, 405, 0xc08040)));
  }
}

TEST_F(CaptureTest, AMissedChangeIsRepairedWhileDamageStaysInUse) {
  std::unique_ptr<testsupport::FramebufferFile> screen = startServerWithFile();
  launchAgent();
  startDesktop();
  ASSERT_NO_FATAL_FAILURE(passStartupTest());
  screen->fill(200, 200, 64, 60, 0x12ab34);
  rfb::Region changed = updatesUntilPixel(210, 210, 0x12ab34);
  EXPECT_TRUE(rfb::Region(rfb::Rect(200, 200, 264, 260)).subtract(changed).isEmpty());
  EXPECT_TRUE(waitForLog("Damage missed a change at"));
  // Still damage: what another client draws is named alone.
  client->fill(500, 600, 20, 20, 0x0000c0);
  EXPECT_FALSE(isWholeScreen(updatesUntilPixel(505, 605, 0x0000c0)));
  EXPECT_EQ(recorder.brokenReports, std::vector<bool>{false});
  EXPECT_EQ(recorder.logCount("Using polling"), 0);
}

// A test of its own: after more drawing (the audit's scenario), a restart
// that started damage a second time went unnoticed.
TEST_F(CaptureTest, ACompositingManagerStartingRunsTheDamageTestAgain) {
  startServer();
  launchAgent();
  startDesktop();
  ASSERT_NO_FATAL_FAILURE(passStartupTest());
  Display* dpy = client->dpy();
  Window owner = XCreateSimpleWindow(dpy, client->root(), 0, 0, 1, 1, 0, 0, 0);
  XSetSelectionOwner(dpy, XInternAtom(dpy, "_NET_WM_CM_S0", False), owner, CurrentTime);
  XSync(dpy, False);
  EXPECT_TRUE(waitForLog("Compositing manager changed - restarting damage test"));
  ASSERT_TRUE(paintUntilReports(2, [&](uint32_t shade) { client->fill(50, 700, 30, 30, shade); }));
  EXPECT_EQ(recorder.brokenReports, (std::vector<bool>{false, false}));
  EXPECT_TRUE(waitForLog("Damage test: any 1 all 1", 2));
}

TEST_F(CaptureTest, AnEightBitScreenSendsItsColourMapAndItsChanges) {
  testsupport::XvfbServer::Options options;
  options.depth = 8;
  startServer(options);
  Display* dpy = client->dpy();
  Colormap map = DefaultColormap(dpy, DefaultScreen(dpy));
  unsigned long cell = 0;
  ASSERT_TRUE(XAllocColorCells(dpy, map, False, nullptr, 0, &cell, 1));
  XColor colour{cell, 0x1200, 0x3400, 0x5600, DoRed | DoGreen | DoBlue, 0};
  XStoreColor(dpy, map, &colour);
  XSync(dpy, False);
  launchAgent();
  startDesktop();
  EXPECT_FALSE(recorder.buffers.at(0).pf.trueColour);
  ASSERT_TRUE(agent->waitForMsg("setColourMapEntries", deadlineMs));
  EXPECT_EQ(recorder.colourMaps.at(0).first, 0);
  ASSERT_EQ(recorder.colourMaps[0].colours.size(), 256u);
  EXPECT_EQ(recorder.colourMaps[0].colours[cell], (agentmsg::Rgb{0x12, 0x34, 0x56}));
  // A changed entry is sent again before the next update.
  colour.red = 0xab00;
  XStoreColor(dpy, map, &colour);
  client->fill(0, 0, 8, 8, cell);
  agent->send(agentmsg::FbUpdateRequest{});
  ASSERT_TRUE(agent->waitForMsg("setColourMapEntries", deadlineMs));
  EXPECT_EQ(recorder.colourMaps.back().colours.at(cell), (agentmsg::Rgb{0xab, 0x34, 0x56}));
}

// Drawing inside a top-level window right after the buffer is announced
// used to be lost now and then: drawn after the buffer's first grab but
// before damage was watched, it was reported by nothing, and no update ever
// carried it.
TEST_F(CaptureTest, DrawingRightAfterStartReachesTheBuffer) {
  startServer();
  XSetWindowAttributes attrs{};
  attrs.override_redirect = True;
  Window window = XCreateWindow(client->dpy(), client->root(), 0, 0, 1024, 768, 0, CopyFromParent,
                                InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel, &attrs);
  XMapRaised(client->dpy(), window);
  GC gc = XCreateGC(client->dpy(), window, 0, nullptr);
  // The moment between grab and watch is short: several starts make hitting
  // it likely.
  for (unsigned long rgb : {0xff0000, 0x00ff00, 0x0000ff, 0xffff00, 0x00ffff, 0xff00ff, 0x808080,
                            0x804000, 0x008040, 0x400080}) {
    SCOPED_TRACE(rgb);
    launchAgent();
    startDesktop();
    XSetForeground(client->dpy(), gc, rgb);
    XFillRectangle(client->dpy(), window, gc, 0, 0, 1024, 768);
    XSync(client->dpy(), False);
    // The buffer alone proves nothing (a full grab may refresh it): a server
    // shows only what an update names.
    rfb::Region probe(rfb::Rect(500, 400, 501, 401));
    do {
      agent->send(agentmsg::FbUpdateRequest{});
      ASSERT_TRUE(agent->waitForMsg("fbUpdate", deadlineMs));
    } while (recorder.updates.back().changed.intersect(probe).isEmpty());
    EXPECT_EQ(pixelOf(agent->pixelBuffer(), 500, 400), uint32_t(rgb));
  }
  XFreeGC(client->dpy(), gc);
}

} // namespace
} // namespace e2e
