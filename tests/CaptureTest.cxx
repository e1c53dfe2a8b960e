// The agent binary capturing a private X server, seen from a server built on
// libs/agenthost: the announced shared buffer holds the screen, drawing by
// another client reaches the buffer and the next updates (through XDAMAGE
// and through polling), resizes announce a new buffer, stop blacks the
// buffer and start works again, and the cursor image is sent.

#include "base/io/FdSelectManager.h"
#include "libs/agenthost/AgentProcess.h"
#include "libs/agenthost/SharedPixelBuffer.h"
#include "libs/agentmsg/ToAgentMsgs.h"
#include "tests/LaunchedAgent.h"
#include "testsupport/FramebufferFile.h"
#include "testsupport/RootPainter.h"
#include "testsupport/TempDir.h"
#include "testsupport/XvfbServer.h"

#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/cursorfont.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>

#include "uilibs/tx/XrandrFns.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>

namespace e2e {
namespace {

using agenthost::AgentProcess;
using testsupport::XvfbServer;

constexpr int deadlineMs = 60000;

// Everything the agent told us that these tests look at.
struct Recorder : agenthost::FromAgentHandler {
  std::vector<agentmsg::SetPixelBuffer> buffers;
  std::vector<agentmsg::FbUpdate> updates;
  std::vector<agentmsg::SetCursorImage> cursors;
  std::vector<agentmsg::SetColourMapEntries> colourMaps;
  std::vector<bool> brokenReports;
  std::vector<std::string> failures;
  std::vector<std::string> logs;

  void setPixelBuffer(const agentmsg::SetPixelBuffer& msg) override { buffers.push_back(msg); }
  void fbUpdate(const agentmsg::FbUpdate& msg) override { updates.push_back(msg); }
  void setCursorImage(const agentmsg::SetCursorImage& msg) override { cursors.push_back(msg); }
  void setColourMapEntries(const agentmsg::SetColourMapEntries& msg) override {
    colourMaps.push_back(msg);
  }
  void captureBroken(const agentmsg::CaptureBroken& msg) override {
    brokenReports.push_back(msg.broken);
  }
  void desktopFailure(const agentmsg::DesktopFailure& msg) override {
    failures.push_back(msg.message);
  }
  void logMsg(const agentmsg::LogMsg& msg) override { logs.push_back(msg.text); }

  bool hasLog(const std::string& text) const {
    return std::find(logs.begin(), logs.end(), text) != logs.end();
  }
};

// A second application on the X server: draws on the root window, reads the
// screen back and resizes the screen through RandR.
class XClient : public testsupport::RootPainter {
public:
  explicit XClient(const std::string& display) : RootPainter(display) {}

  // The screen's size as the server has it now.
  rfb::Rect screenRect() {
    Window r;
    int x, y;
    unsigned w, h, border, depth;
    XGetGeometry(dpy(), root(), &r, &x, &y, &w, &h, &border, &depth);
    return rfb::Rect(0, 0, int(w), int(h));
  }

  // Number of pixels in `rect` where `buffer` differs from the screen.
  int mismatches(const agenthost::SharedPixelBuffer& buffer, const rfb::Rect& rect) {
    XImage* image = XGetImage(dpy(), root(), rect.tl.x, rect.tl.y, unsigned(rect.width()),
                              unsigned(rect.height()), AllPlanes, ZPixmap);
    if (!image)
      throw std::runtime_error("XGetImage failed");
    int count = 0;
    for (int y = 0; y < rect.height(); y++) {
      for (int x = 0; x < rect.width(); x++) {
        if (pixelOf(buffer, rect.tl.x + x, rect.tl.y + y) != uint32_t(XGetPixel(image, x, y)))
          count++;
      }
    }
    XDestroyImage(image);
    return count;
  }

  // Shrinks the screen to w x h (smaller than it is) with a mode of that
  // size on its one CRTC. The mode lives as long as this connection.
  void shrinkScreen(int w, int h) {
    XRRScreenResources* res = tx::XRRGetScreenResources(dpy(), root());
    std::string name = std::to_string(w) + "x" + std::to_string(h) + "_test";
    XRRModeInfo* mode = tx::XRRAllocModeInfo(name.c_str(), int(name.size()));
    mode->width = unsigned(w);
    mode->height = unsigned(h);
    mode->hTotal = unsigned(w);
    mode->vTotal = unsigned(h);
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

  static uint32_t pixelOf(const agenthost::SharedPixelBuffer& buffer, int x, int y) {
    uint32_t value = 0;
    std::memcpy(&value, buffer.pixelAt(x, y), sizeof(value));
    return value;
  }

};

class CaptureTest : public testing::Test {
protected:
  void startServer(std::vector<std::string> disabled = {}) {
    XvfbServer::Options options;
    options.disabledExtensions = std::move(disabled);
    startServer(options);
  }

  void startServer(const XvfbServer::Options& options) {
    // What used the old server goes first: Xlib ends the process when a
    // connection's server goes away.
    agent.reset();
    client.reset();
    xvfb.reset();
    xvfb = std::make_unique<XvfbServer>(options);
    client = std::make_unique<XClient>(xvfb->displayName());
  }

  // A server whose screen the returned file also holds (see
  // FramebufferFile): writes there change the screen without damage.
  std::unique_ptr<testsupport::FramebufferFile> startServerWithFile() {
    agent.reset();
    client.reset();
    xvfb.reset();
    fbdir = std::make_unique<testsupport::TempDir>("kwo-fbdir");
    XvfbServer::Options options;
    options.extraArguments = {"-fbdir", fbdir->path()};
    startServer(options);
    rfb::Rect rect = client->screenRect();
    return std::make_unique<testsupport::FramebufferFile>(fbdir->path() + "/Xvfb_screen0",
                                                          rect.width(), rect.height());
  }

  void launchAgent(AgentParams params = {}) {
    agent = e2e::launchAgent(xvfb->displayName(), std::move(params), recorder, deadlineMs);
  }

  // "start", then the buffer announcement.
  void startDesktop() {
    agent->send(agentmsg::Start{});
    ASSERT_TRUE(agent->waitForMsg("setPixelBuffer", deadlineMs));
    ASSERT_TRUE(agent->pixelBuffer().valid());
  }

  bool waitForLog(const std::string& text) {
    bool found = agent->waitUntil([&] { return recorder.hasLog(text); }, deadlineMs);
    if (!found) {
      for (const std::string& line : recorder.logs)
        ADD_FAILURE() << "logged: " << line;
    }
    return found;
  }

  // Paints with `paint(shade)`, a new shade each time, on every pass of
  // the loop until `count` "captureBroken" reports have come. `asking`: a
  // viewer that always waits for the next update.
  bool paintUntilReports(size_t count, const std::function<void(uint32_t)>& paint,
                         bool asking = false) {
    uint32_t shade = 0x204060;
    return agent->waitUntil(
      [&] {
        paint(shade++);
        if (asking)
          agent->send(agentmsg::FbUpdateRequest{});
        return recorder.brokenReports.size() >= count;
      },
      deadlineMs);
  }

  // Ordinary drawing until the start-up damage test has judged, which it
  // does once the screen has changed; damage passes it.
  void passStartupTest() {
    ASSERT_TRUE(paintUntilReports(1, [&](uint32_t shade) { client->fill(700, 100, 32, 32, shade); }));
    ASSERT_EQ(recorder.brokenReports, std::vector<bool>{false});
  }

  int logsStartingWith(const std::string& prefix) const {
    return int(std::count_if(recorder.logs.begin(), recorder.logs.end(),
                             [&](const std::string& line) { return line.rfind(prefix, 0) == 0; }));
  }

  // Log lines may come after the messages they go with: waits until
  // `count` lines start with `prefix`, and says whether exactly that many
  // do.
  bool waitForLogCount(const std::string& prefix, int count) {
    agent->waitUntil([&] { return logsStartingWith(prefix) >= count; }, deadlineMs);
    return logsStartingWith(prefix) == count;
  }

  // Asks for updates until the mapped pixel at x, y is `rgb`; the union of
  // the changed regions of those updates.
  rfb::Region updatesUntilPixel(int x, int y, uint32_t rgb) {
    rfb::Region changed;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
    while (std::chrono::steady_clock::now() < end) {
      agent->send(agentmsg::FbUpdateRequest{});
      if (!agent->waitForMsg("fbUpdate", deadlineMs))
        break;
      changed.assign_union(recorder.updates.back().changed);
      if (XClient::pixelOf(agent->pixelBuffer(), x, y) == rgb)
        break;
    }
    return changed;
  }

  io::FdSelectManager manager;
  std::unique_ptr<testsupport::TempDir> fbdir;
  std::unique_ptr<XvfbServer> xvfb;
  std::unique_ptr<XClient> client;
  Recorder recorder;
  std::unique_ptr<AgentProcess> agent;
};

TEST_F(CaptureTest, TheAnnouncedBufferHoldsTheScreen) {
  startServer();
  rfb::Rect screen = client->screenRect();
  client->fill(0, 0, screen.width(), screen.height(), 0x336699);
  client->fill(10, 20, 200, 100, 0xff0000);
  client->fill(900, 700, 124, 68, 0x00ff00);
  launchAgent();
  startDesktop();

  const agentmsg::SetPixelBuffer& announced = recorder.buffers.at(0);
  EXPECT_EQ(announced.rect, screen);
  EXPECT_TRUE(announced.segment.has_value());
  EXPECT_GE(announced.stride, uint32_t(screen.width()));
  EXPECT_EQ(announced.pf.bpp, 32);
  EXPECT_EQ(client->mismatches(agent->pixelBuffer(), screen), 0);
  EXPECT_EQ(XClient::pixelOf(agent->pixelBuffer(), 15, 25), 0xff0000u);
}

TEST_F(CaptureTest, DrawingReachesTheBufferThroughDamage) {
  startServer();
  launchAgent({{"CaptureMethod", "2"}});
  startDesktop();
  EXPECT_TRUE(waitForLog("Using damage extension"));

  client->fill(500, 300, 40, 30, 0xffff00);
  rfb::Region changed = updatesUntilPixel(510, 310, 0xffff00);
  EXPECT_EQ(XClient::pixelOf(agent->pixelBuffer(), 510, 310), 0xffff00u);
  EXPECT_TRUE(rfb::Region(rfb::Rect(500, 300, 540, 330)).subtract(changed).isEmpty())
    << changed.print();
  // Damage names what changed, not the whole screen.
  EXPECT_FALSE(changed.equals(rfb::Region(client->screenRect()))) << changed.print();
  EXPECT_EQ(client->mismatches(agent->pixelBuffer(), rfb::Rect(480, 280, 560, 350)), 0);
}

TEST_F(CaptureTest, DrawingReachesTheBufferThroughPolling) {
  struct Case {
    const char* name;
    std::vector<std::string> disabled;
    AgentParams params;
    const char* expectedLog;
  };
  const Case cases[] = {
    {"server without DAMAGE", {"DAMAGE"}, {}, "XDamage disabled / not present - unable to optimize capture"},
    {"CaptureMethod 1", {}, {{"CaptureMethod", "1"}, {"PollInterval", "30"}}, "Using polling"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    recorder = Recorder();
    startServer(c.disabled);
    launchAgent(c.params);
    startDesktop();
    EXPECT_TRUE(waitForLog(c.expectedLog));
    EXPECT_TRUE(waitForLog("Using polling"));
    EXPECT_FALSE(recorder.hasLog("Using damage extension"));

    client->fill(100, 600, 16, 16, 0x8040c0);
    rfb::Region changed = updatesUntilPixel(101, 601, 0x8040c0);
    EXPECT_EQ(XClient::pixelOf(agent->pixelBuffer(), 101, 601), 0x8040c0u);
    // Polling names the whole screen every time.
    EXPECT_TRUE(changed.equals(rfb::Region(client->screenRect()))) << changed.print();
    EXPECT_EQ(client->mismatches(agent->pixelBuffer(), client->screenRect()), 0);
  }
}

TEST_F(CaptureTest, AResizeAnnouncesANewBuffer) {
  startServer();
  launchAgent();
  startDesktop();
  ASSERT_EQ(recorder.buffers.size(), 1u);

  // At once: a resize right after the announcement used to be missed, the
  // root's structure events being selected only after it.
  client->shrinkScreen(800, 600);
  ASSERT_EQ(client->screenRect(), rfb::Rect(0, 0, 800, 600));
  client->fill(700, 500, 50, 50, 0x00ffff);
  ASSERT_TRUE(agent->waitForMsg("setPixelBuffer", deadlineMs)) << [&] {
    std::string all;
    for (const std::string& line : recorder.logs)
      all += line + "\n";
    return all;
  }();
  const agentmsg::SetPixelBuffer& resized = recorder.buffers.back();
  EXPECT_EQ(resized.rect, rfb::Rect(0, 0, 800, 600));
  // A new segment: the old one was too large for nothing and is gone.
  EXPECT_TRUE(resized.segment.has_value());
  EXPECT_EQ(agent->pixelBuffer().rect(), rfb::Rect(0, 0, 800, 600));
  EXPECT_EQ(client->mismatches(agent->pixelBuffer(), rfb::Rect(0, 0, 800, 600)), 0);
}

TEST_F(CaptureTest, StopBlacksTheBufferAndStartWorksAgain) {
  startServer();
  client->fill(0, 0, 1024, 768, 0xffffff);
  launchAgent();
  startDesktop();
  // Our own mapping of the first segment, kept after the agent lets it go.
  std::unique_ptr<plat::SharedMem> first =
    agenthost::SharedPixelBuffer::open(*recorder.buffers.at(0).segment);
  const agentmsg::SetPixelBuffer announced = recorder.buffers.at(0);
  const uint8_t* firstPixels = first->data();
  auto pixelOfFirst = [&](int x, int y) {
    uint32_t value;
    std::memcpy(&value, firstPixels + (size_t(y) * announced.stride + size_t(x)) * 4, 4);
    return value;
  };
  EXPECT_EQ(pixelOfFirst(512, 384), 0xffffffu);

  agent->send(agentmsg::Stop{});
  client->fill(0, 0, 100, 100, 0x0000ff);
  agent->send(agentmsg::Start{});
  ASSERT_TRUE(agent->waitForMsg("setPixelBuffer", deadlineMs));
  // The agent handles messages in order: the old buffer was blacked before
  // the new one was announced.
  int nonBlack = 0;
  for (int y = 0; y < announced.rect.height(); y++) {
    for (int x = 0; x < announced.rect.width(); x++) {
      if (pixelOfFirst(x, y) != 0)
        nonBlack++;
    }
  }
  EXPECT_EQ(nonBlack, 0);

  ASSERT_EQ(recorder.buffers.size(), 2u);
  EXPECT_TRUE(recorder.buffers[1].segment.has_value());
  EXPECT_EQ(client->mismatches(agent->pixelBuffer(), client->screenRect()), 0);
  EXPECT_EQ(XClient::pixelOf(agent->pixelBuffer(), 50, 50), 0x0000ffu);

  client->fill(300, 300, 10, 10, 0xff8000);
  updatesUntilPixel(305, 305, 0xff8000);
  EXPECT_EQ(XClient::pixelOf(agent->pixelBuffer(), 305, 305), 0xff8000u);
}

TEST_F(CaptureTest, TheCursorImageIsSentAtStart) {
  startServer();
  launchAgent();
  startDesktop();
  ASSERT_TRUE(agent->waitForMsg("setCursorImage", deadlineMs));
  const agentmsg::SetCursorImage& cursor = recorder.cursors.at(0);
  ASSERT_TRUE(cursor.present);
  EXPECT_FALSE(cursor.rect.isEmpty());
  EXPECT_EQ(cursor.pixels.size(), size_t(cursor.rect.area()) * 4);
}

TEST_F(CaptureTest, WithoutXFixesTheArrowIsSentAndPollingUsed) {
  // Not with Xvfb's "-extension XFIXES": that server aborts when a client
  // disconnects.
  startServer();
  launchAgent({{"UseXFixes", "0"}});
  startDesktop();
  ASSERT_TRUE(agent->waitForMsg("setCursorImage", deadlineMs));
  const agentmsg::SetCursorImage& cursor = recorder.cursors.at(0);
  ASSERT_TRUE(cursor.present);
  EXPECT_EQ(cursor.rect, rfb::Rect(0, 0, 12, 21));
  EXPECT_TRUE(waitForLog("XFixes disabled / not present - unable to track cursor changes"));
  EXPECT_TRUE(waitForLog("XDamage disabled / not present - unable to optimize capture"));
  EXPECT_TRUE(waitForLog("Using polling"));
}

TEST_F(CaptureTest, TheDamageTestReportsReliableDamage) {
  startServer();
  launchAgent();
  startDesktop();
  EXPECT_TRUE(waitForLog("Using damage extension"));
  client->fill(200, 200, 64, 64, 0x40ff40);
  // The test compares after its first interval once the screen changed.
  ASSERT_TRUE(agent->waitForMsg("captureBroken", deadlineMs));
  EXPECT_EQ(recorder.brokenReports, std::vector<bool>{false});
  EXPECT_TRUE(waitForLog("Damage test: any 1 all 1 non full 1"));
}


TEST_F(CaptureTest, DamageThatMissesChangesIsReportedAndPollingTakesOver) {
  std::unique_ptr<testsupport::FramebufferFile> screen = startServerWithFile();
  launchAgent();
  startDesktop();
  EXPECT_TRUE(waitForLog("Using damage extension"));

  // The test takes its snapshot at some moment after start: keep changing
  // the screen until it has judged.
  uint32_t shade = 0x101010;
  ASSERT_TRUE(agent->waitUntil(
    [&] {
      shade = (shade + 0x040404) & 0xffffff;
      screen->fill(64, 64, 64, 64, shade);
      return !recorder.brokenReports.empty();
    },
    deadlineMs));
  EXPECT_EQ(recorder.brokenReports, std::vector<bool>{true});
  EXPECT_TRUE(waitForLog("Damage test: any 0 all 0 non full 0"));
  EXPECT_TRUE(waitForLog("Using polling"));

  // Polling sees what damage cannot.
  screen->fill(600, 400, 16, 16, 0xc08040);
  rfb::Region changed = updatesUntilPixel(605, 405, 0xc08040);
  EXPECT_EQ(XClient::pixelOf(agent->pixelBuffer(), 605, 405), 0xc08040u);
  EXPECT_TRUE(changed.equals(rfb::Region(client->screenRect()))) << changed.print();
}

TEST_F(CaptureTest, AMissedChangeIsRepairedWhileDamageStaysInUse) {
  std::unique_ptr<testsupport::FramebufferFile> screen = startServerWithFile();
  launchAgent();
  startDesktop();
  ASSERT_NO_FATAL_FAILURE(passStartupTest());

  screen->fill(200, 200, 64, 60, 0x12ab34);
  rfb::Region changed = updatesUntilPixel(210, 210, 0x12ab34);
  EXPECT_EQ(XClient::pixelOf(agent->pixelBuffer(), 210, 210), 0x12ab34u);
  EXPECT_TRUE(rfb::Region(rfb::Rect(200, 200, 264, 260)).subtract(changed).isEmpty())
    << changed.print();
  EXPECT_TRUE(waitForLogCount("Damage missed a change at", 1));

  // Still damage: what another client draws is named alone.
  client->fill(500, 600, 20, 20, 0x0000c0);
  changed = updatesUntilPixel(505, 605, 0x0000c0);
  EXPECT_FALSE(changed.equals(rfb::Region(client->screenRect()))) << changed.print();
  EXPECT_EQ(recorder.brokenReports, std::vector<bool>{false});
  EXPECT_EQ(logsStartingWith("Using polling"), 0);
  EXPECT_EQ(logsStartingWith("Damage missed a change at"), 1);
}

TEST_F(CaptureTest, RepeatedMissesMeanPollingUntilDamageExplainsEveryChangeAgain) {
  std::unique_ptr<testsupport::FramebufferFile> screen = startServerWithFile();
  launchAgent();
  startDesktop();
  ASSERT_NO_FATAL_FAILURE(passStartupTest());

  // The viewer gets each repair, and the audit finds the next change as a
  // new miss.
  ASSERT_TRUE(
    paintUntilReports(2, [&](uint32_t shade) { screen->fill(100, 100, 48, 48, shade); }, true));
  EXPECT_EQ(recorder.brokenReports, (std::vector<bool>{false, true}));
  EXPECT_TRUE(waitForLogCount("Damage test: any ", 2));
  EXPECT_TRUE(waitForLogCount("Using polling", 1));

  // Ordinary drawing only, for as long as the audit wants to see damage
  // explain every change.
  ASSERT_TRUE(
    paintUntilReports(3, [&](uint32_t shade) { client->fill(400, 500, 40, 40, shade); }, true));
  EXPECT_EQ(recorder.brokenReports, (std::vector<bool>{false, true, false}));
  EXPECT_TRUE(waitForLogCount("Damage reported every change for ", 1));
  EXPECT_TRUE(waitForLogCount("Using damage extension", 2));
}

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
  EXPECT_TRUE(waitForLogCount("Damage test: any 1 all 1", 2));
  XDestroyWindow(dpy, owner);
  XSync(dpy, False);
}

TEST_F(CaptureTest, TheSameCursorShapeTwiceIsSentOnce) {
  startServer();
  launchAgent();
  startDesktop();
  ASSERT_TRUE(agent->waitForMsg("setCursorImage", deadlineMs));
  size_t before = recorder.cursors.size();

  // Each XCreateFontCursor is a new cursor to the server, so XFIXES reports
  // all three; the second crosshair looks like the first.
  const unsigned shapes[] = {XC_crosshair, XC_crosshair, XC_watch};
  std::vector<Cursor> cursors;
  for (unsigned shape : shapes) {
    cursors.push_back(XCreateFontCursor(client->dpy(), shape));
    XDefineCursor(client->dpy(), client->root(), cursors.back());
    XSync(client->dpy(), False);
  }
  // The watch comes last: once it is here, everything before it is too.
  ASSERT_TRUE(agent->waitForMsg("setCursorImage", deadlineMs));
  ASSERT_TRUE(agent->waitForMsg("setCursorImage", deadlineMs));
  ASSERT_EQ(recorder.cursors.size(), before + 2);
  const agentmsg::SetCursorImage& crosshair = recorder.cursors[before];
  const agentmsg::SetCursorImage& watch = recorder.cursors[before + 1];
  EXPECT_NE(crosshair.pixels, watch.pixels);
  // Nothing more is on its way: a fresh shape arrives next, not a repeat.
  Cursor arrow = XCreateFontCursor(client->dpy(), XC_left_ptr);
  XDefineCursor(client->dpy(), client->root(), arrow);
  XSync(client->dpy(), False);
  ASSERT_TRUE(agent->waitForMsg("setCursorImage", deadlineMs));
  ASSERT_EQ(recorder.cursors.size(), before + 3);
  EXPECT_NE(recorder.cursors.back().pixels, watch.pixels);
  cursors.push_back(arrow);
  for (Cursor cursor : cursors)
    XFreeCursor(client->dpy(), cursor);
}

TEST_F(CaptureTest, AnEightBitScreenSendsItsColourMapAndItsChanges) {
  XvfbServer::Options options;
  options.depth = 8;
  startServer(options);
  Display* dpy = client->dpy();
  Colormap map = DefaultColormap(dpy, DefaultScreen(dpy));
  unsigned long cell = 0;
  ASSERT_TRUE(XAllocColorCells(dpy, map, False, nullptr, 0, &cell, 1));
  XColor colour{};
  colour.pixel = cell;
  colour.red = 0x1200;
  colour.green = 0x3400;
  colour.blue = 0x5600;
  colour.flags = DoRed | DoGreen | DoBlue;
  XStoreColor(dpy, map, &colour);
  XSync(dpy, False);

  launchAgent();
  startDesktop();
  EXPECT_FALSE(recorder.buffers.at(0).pf.trueColour);
  ASSERT_TRUE(agent->waitForMsg("setColourMapEntries", deadlineMs));
  const agentmsg::SetColourMapEntries& first = recorder.colourMaps.at(0);
  EXPECT_EQ(first.first, 0);
  ASSERT_EQ(first.colours.size(), 256u);
  EXPECT_EQ(first.colours[cell], (agentmsg::Rgb{0x12, 0x34, 0x56}));

  // A changed entry is sent again before the next update.
  colour.red = 0xab00;
  XStoreColor(dpy, map, &colour);
  XSync(dpy, False);
  client->fill(0, 0, 8, 8, cell);
  agent->send(agentmsg::FbUpdateRequest{});
  ASSERT_TRUE(agent->waitForMsg("setColourMapEntries", deadlineMs));
  EXPECT_EQ(recorder.colourMaps.back().colours.at(cell), (agentmsg::Rgb{0xab, 0x34, 0x56}));
}


// Drawing inside a top-level window right after the buffer is announced,
// with the default capture method, reaches the buffer. This used to be lost
// now and then: drawn after the buffer's first grab but before damage was
// watched, it was reported by nothing, and no update ever carried it.
TEST_F(CaptureTest, DrawingRightAfterStartReachesTheBuffer) {
  startServer();
  XSetWindowAttributes attrs{};
  attrs.override_redirect = True;
  attrs.background_pixel = 0;
  Window window =
    XCreateWindow(client->dpy(), client->root(), 0, 0, 1024, 768, 0, CopyFromParent, InputOutput,
                  CopyFromParent, CWOverrideRedirect | CWBackPixel, &attrs);
  XMapRaised(client->dpy(), window);
  XSync(client->dpy(), False);
  GC gc = XCreateGC(client->dpy(), window, 0, nullptr);

  // The window between grab and watch is short: several starts make hitting
  // it likely.
  const unsigned long colours[] = {0xff0000, 0x00ff00, 0x0000ff, 0xffff00, 0x00ffff,
                                   0xff00ff, 0x808080, 0x804000, 0x008040, 0x400080};
  for (unsigned long rgb : colours) {
    SCOPED_TRACE(rgb);
    agent.reset();
    launchAgent();
    startDesktop();
    XSetForeground(client->dpy(), gc, rgb);
    XFillRectangle(client->dpy(), window, gc, 0, 0, 1024, 768);
    XSync(client->dpy(), False);
    // The buffer alone proves nothing (a full grab may refresh it): a server
    // shows only what an update names.
    bool named = false;
    while (!named) {
      agent->send(agentmsg::FbUpdateRequest{});
      ASSERT_TRUE(agent->waitForMsg("fbUpdate", deadlineMs));
      named = !recorder.updates.back().changed.intersect(rfb::Region(rfb::Rect(500, 400, 501, 401))).isEmpty();
    }
    EXPECT_EQ(XClient::pixelOf(agent->pixelBuffer(), 500, 400), uint32_t(rgb));
  }
  XFreeGC(client->dpy(), gc);
}

} // namespace
} // namespace e2e
