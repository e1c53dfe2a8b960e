#include "libs/svr/tests/DesktopTestSupport.h"

#include "base/plat/ConfigParameter.h"
#include "base/plat/Configuration.h"
#include "libs/svr/SDesktopX11.h"
#include "uilibs/tx/PixelBufferX11.h"

#include "testsupport/LogRecorder.h"

#include <X11/cursorfont.h>

#include <algorithm>

namespace {

using svr::SDesktopX11;
using Capture = SDesktopX11::Capture;

// Sets a parameter for one test and puts it back afterwards.
class ParamOverride {
public:
  ParamOverride(const char* name, const char* value)
    : param_(plat::Configuration::global().findParam(name)) {
    if (!param_)
      throw std::runtime_error(std::string("no parameter ") + name);
    param_->setParam(value, 10);
  }
  ~ParamOverride() { param_->reset(false); }
  ParamOverride(const ParamOverride&) = delete;
  ParamOverride& operator=(const ParamOverride&) = delete;

private:
  plat::ConfigParameter* param_;
};

class RecordingApp : public SDesktopX11::Callback {
public:
  void monitorsUpdated(const std::vector<svr::MonitorInfo>& list,
                       const std::optional<std::string>& parameterSpec,
                       const std::optional<std::string>& effectiveSpec) override {
    monitorReports.push_back({list, parameterSpec, effectiveSpec});
  }
  void setClipboardText(std::string_view text) override { clipboard.emplace_back(text); }
  void captureBroken(bool broken) override { brokenReports.push_back(broken); }
  const ipc_perm* getShmPerm() override { return nullptr; }

  std::vector<std::string> clipboard;
  std::vector<bool> brokenReports;
  struct MonitorReport {
    std::vector<svr::MonitorInfo> monitors;
    std::optional<std::string> parameterSpec;
    std::optional<std::string> effectiveSpec;
  };
  std::vector<MonitorReport> monitorReports;
};

class SDesktopX11Test : public ::testing::Test {
protected:
  void SetUp() override {
    dpy = svrtest::openSharedDisplay();
    ASSERT_NE(dpy, nullptr);
    whole = rfb::Rect(0, 0, DisplayWidth(dpy, 0), DisplayHeight(dpy, 0));
  }

  // The buffer's pixel equals what another client reads from the screen.
  bool bufferShowsScreenAt(int x, int y) {
    return server.buffer && server.buffer->getPixel(x, y) == uint32_t(painter.pixelAt(x, y));
  }

  // Asks for one update and pumps until it has come.
  bool nextUpdate(SDesktopX11& desktop) {
    size_t before = server.updates.size();
    server.updateRequested = true;
    desktop.requestUpdate();
    return svrtest::pumpUntil([&] { return server.updates.size() > before; });
  }

  // Requests updates until the buffer shows `rgb` at x, y; the union of the
  // changed regions of those updates.
  rfb::Region updatesUntilPixel(SDesktopX11& desktop, int x, int y, uint32_t rgb) {
    rfb::Region changed;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < end) {
      if (!nextUpdate(desktop))
        break;
      changed.assign_union(server.updates.back().changed);
      if (server.buffer->getPixel(x, y) == rgb)
        break;
    }
    return changed;
  }

  plat::TimerManager timers;
  Display* dpy = nullptr;
  rfb::Rect whole;
  svrtest::Painter painter;
  svrtest::RecordingServer server;
  RecordingApp app;
};

TEST_F(SDesktopX11Test, StartAnnouncesABufferHoldingTheScreen) {
  painter.fill(0, 0, whole.width(), whole.height(), 0x202020);
  painter.fill(40, 30, 100, 60, 0xff0000);
  painter.fill(500, 400, 7, 300, 0x00ff80);
  SDesktopX11 desktop(app);
  desktop.start(server);
  ASSERT_EQ(server.buffers.size(), 1u);
  ASSERT_NE(server.buffer, nullptr);
  EXPECT_EQ(server.buffer, desktop.buffer());
  EXPECT_EQ(server.buffer->getRect(), whole);
  EXPECT_EQ(desktop.getRect(), whole);
  ASSERT_NE(server.buffer->getSharedMem(), nullptr);

  XImage* screen = XGetImage(painter.dpy(), painter.root(), 0, 0, whole.width(), whole.height(),
                             AllPlanes, ZPixmap);
  ASSERT_NE(screen, nullptr);
  int mismatches = 0;
  for (int y = 0; y < whole.height(); y++) {
    for (int x = 0; x < whole.width(); x++) {
      if (server.buffer->getPixel(x, y) != uint32_t(XGetPixel(screen, x, y)))
        mismatches++;
    }
  }
  XDestroyImage(screen);
  EXPECT_EQ(mismatches, 0);
  EXPECT_EQ(server.buffer->getPixel(41, 31), 0xff0000u);
  desktop.stop();
}

TEST_F(SDesktopX11Test, PollingNamesTheWholeScreenAndPicksUpChanges) {
  ParamOverride method("CaptureMethod", "1");
  testsupport::LogRecorder recorder("SDesktopX11");
  SDesktopX11 desktop(app);
  desktop.start(server);
  EXPECT_EQ(desktop.capture(), Capture::polling);
  std::vector<std::string> texts = recorder.texts("SDesktopX11");
  EXPECT_NE(std::find(texts.begin(), texts.end(), "Using polling"), texts.end());
  EXPECT_EQ(std::find(texts.begin(), texts.end(), "Using damage extension"), texts.end());

  ASSERT_TRUE(nextUpdate(desktop));
  EXPECT_TRUE(server.updates.back().changed.equals(rfb::Region(whole)));

  painter.fill(300, 200, 20, 20, 0x0000ff);
  updatesUntilPixel(desktop, 305, 205, 0x0000ff);
  EXPECT_EQ(server.buffer->getPixel(305, 205), 0x0000ffu);
  EXPECT_TRUE(server.updates.back().changed.equals(rfb::Region(whole)));
  desktop.stop();
}

TEST_F(SDesktopX11Test, DamageNamesOnlyWhatChanged) {
  ParamOverride method("CaptureMethod", "2");
  SDesktopX11 desktop(app);
  desktop.start(server);
  EXPECT_EQ(desktop.capture(), Capture::damage);
  EXPECT_FALSE(desktop.damageTestRunning());

  painter.fill(600, 100, 30, 10, 0x00ffff);
  rfb::Region changed = updatesUntilPixel(desktop, 610, 105, 0x00ffff);
  EXPECT_EQ(server.buffer->getPixel(610, 105), 0x00ffffu);
  EXPECT_TRUE(rfb::Region(rfb::Rect(600, 100, 630, 110)).subtract(changed).isEmpty())
    << changed.print();
  EXPECT_FALSE(changed.equals(rfb::Region(whole))) << changed.print();

  // Forced damage stays until the desktop stops, which says capture is fine.
  desktop.stop();
  EXPECT_EQ(app.brokenReports, std::vector<bool>{false});
}

TEST_F(SDesktopX11Test, OptimalCaptureTestsDamage) {
  ParamOverride method("CaptureMethod", "0");
  testsupport::LogRecorder recorder("SDesktopX11");
  SDesktopX11 desktop(app);
  desktop.start(server);
  EXPECT_EQ(desktop.capture(), Capture::damage);
  EXPECT_TRUE(desktop.damageTestRunning());

  // Keep updates flowing while the screen changes, as a viewer would.
  painter.fill(700, 500, 40, 40, 0xff00ff);
  bool done = svrtest::pumpUntil(
    [&] {
      if (!server.updateRequested) {
        server.updateRequested = true;
        desktop.requestUpdate();
      }
      return !desktop.damageTestRunning();
    },
    std::chrono::seconds(60));
  ASSERT_TRUE(done);
  EXPECT_EQ(app.brokenReports, std::vector<bool>{false});
  EXPECT_EQ(desktop.capture(), Capture::damage);
  std::vector<std::string> texts = recorder.texts("SDesktopX11");
  EXPECT_NE(std::find(texts.begin(), texts.end(), "Damage test: any 1 all 1 non full 1"),
            texts.end());
  desktop.stop();
  // With the optimal method stopping damage says nothing more.
  EXPECT_EQ(app.brokenReports.size(), 1u);
}

TEST_F(SDesktopX11Test, WithoutXFixesThereIsPollingAndTheArrow) {
  ParamOverride method("CaptureMethod", "2");
  ParamOverride xfixes("UseXFixes", "0");
  SDesktopX11 desktop(app);
  EXPECT_FALSE(desktop.extensions().xfixes.present);
  EXPECT_FALSE(desktop.extensions().xdamage.present);
  desktop.start(server);
  EXPECT_EQ(desktop.capture(), Capture::polling);
  ASSERT_EQ(server.cursors.size(), 1u);
  EXPECT_EQ(server.cursors[0]->getRect(), rfb::Rect(0, 0, 12, 21));
  desktop.stop();
}

TEST_F(SDesktopX11Test, CursorIsSentAtStartAndWhenItChanges) {
  Cursor plain = XCreateFontCursor(painter.dpy(), XC_left_ptr);
  XDefineCursor(painter.dpy(), painter.root(), plain);
  XWarpPointer(painter.dpy(), 0, painter.root(), 0, 0, 0, 0, 123, 45);
  XSync(painter.dpy(), False);
  SDesktopX11 desktop(app);
  desktop.start(server);
  ASSERT_EQ(server.cursors.size(), 1u);
  // Used to go wrong: the position was told only after the pointer moved,
  // so a server drawing the cursor drew it at 0,0 in the first pictures.
  ASSERT_FALSE(server.cursorPositions.empty());
  EXPECT_EQ(server.cursorPositions[0], std::make_pair(rfb::Point(123, 45), size_t(0)));

  Cursor other = XCreateFontCursor(painter.dpy(), XC_pirate);
  XDefineCursor(painter.dpy(), painter.root(), other);
  XSync(painter.dpy(), False);
  EXPECT_TRUE(svrtest::pumpUntil([&] { return server.cursors.size() >= 2; }));
  EXPECT_FALSE(server.cursors[0]->equals(*server.cursors.back()));
  XFreeCursor(painter.dpy(), plain);
  XFreeCursor(painter.dpy(), other);
  desktop.stop();
}

TEST_F(SDesktopX11Test, StopWithdrawsTheBufferAndDeselectsEverything) {
  SDesktopX11 desktop(app);
  desktop.start(server);
  EXPECT_NE(tx::TXEventDispatcher::rootEventMask() & StructureNotifyMask, 0);
  desktop.stop();
  EXPECT_FALSE(desktop.started());
  EXPECT_EQ(desktop.capture(), Capture::none);
  EXPECT_EQ(desktop.buffer(), nullptr);
  // The server was told before the buffer went, so it never holds a freed
  // one.
  EXPECT_EQ(server.buffer, nullptr);
  EXPECT_EQ(tx::TXEventDispatcher::rootEventMask() & (StructureNotifyMask | SubstructureNotifyMask),
            0);

  // Nothing reaches the server while stopped.
  size_t cursors = server.cursors.size();
  painter.fill(1, 1, 3, 3, 0x111111);
  desktop.requestUpdate();
  svrtest::pumpUntil([] { return false; }, std::chrono::milliseconds(200));
  EXPECT_TRUE(server.updates.empty());
  EXPECT_EQ(server.cursors.size(), cursors);
}

TEST_F(SDesktopX11Test, StartsAgainAfterStop) {
  SDesktopX11 desktop(app);
  desktop.start(server);
  desktop.stop();
  painter.fill(100, 600, 10, 10, 0xabcdef);
  desktop.start(server);
  ASSERT_NE(server.buffer, nullptr);
  // The first buffer, its withdrawal at stop, the second.
  ASSERT_EQ(server.buffers.size(), 3u);
  EXPECT_EQ(server.buffers[1], nullptr);
  EXPECT_EQ(server.buffer->getPixel(105, 605), 0xabcdefu);
  EXPECT_NE(desktop.capture(), Capture::none);
  desktop.stop();
}

TEST_F(SDesktopX11Test, AViewersHeldButtonIsReleasedAtStop) {
  // Used to stay down after "stop": the local user had a held button until
  // a new viewer sent a mask, and that viewer's press of it was skipped.
  auto button1Down = [&] {
    Window root, child;
    int rx, ry, wx, wy;
    unsigned mask = 0;
    XQueryPointer(painter.dpy(), painter.root(), &root, &child, &rx, &ry, &wx, &wy, &mask);
    return (mask & Button1Mask) != 0;
  };
  SDesktopX11 desktop(app);
  for (int session = 0; session < 2; session++) {
    SCOPED_TRACE(session);
    desktop.start(server);
    desktop.pointerEvent(rfb::Point(10, 10), 1, false);
    EXPECT_TRUE(svrtest::pumpUntil(button1Down));
    desktop.stop();
    EXPECT_TRUE(svrtest::pumpUntil([&] { return !button1Down(); }));
  }
}

TEST_F(SDesktopX11Test, ABurstOfRootConfigureEventsRebuildsOnce) {
  SDesktopX11 desktop(app);
  desktop.start(server);
  size_t before = server.buffers.size();
  // The root's new event mask must have reached the server first.
  XSync(dpy, False);
  XEvent event = {};
  event.xconfigure.type = ConfigureNotify;
  event.xconfigure.event = painter.root();
  event.xconfigure.window = painter.root();
  event.xconfigure.width = whole.width();
  event.xconfigure.height = whole.height();
  for (int i = 0; i < 3; i++)
    XSendEvent(painter.dpy(), painter.root(), False, StructureNotifyMask, &event);
  XSync(painter.dpy(), False);

  // One withdrawal and one new buffer.
  ASSERT_TRUE(svrtest::pumpUntil([&] { return server.buffers.size() >= before + 2; }));
  svrtest::pumpUntil([] { return false; }, std::chrono::milliseconds(2 * SDesktopX11::resizeDelayMs));
  EXPECT_EQ(server.buffers.size(), before + 2);
  EXPECT_EQ(server.buffers[before], nullptr);
  EXPECT_NE(server.buffer, nullptr);
  desktop.stop();
}

TEST_F(SDesktopX11Test, AMovedWindowIsNamedEvenWithoutDamage) {
  ParamOverride method("CaptureMethod", "2");
  SDesktopX11 desktop(app);
  desktop.start(server);
  // An unmapped window changes no pixels, so only the tracker sees it move.
  Window window = XCreateSimpleWindow(painter.dpy(), painter.root(), 10, 10, 50, 40, 0, 0, 0);
  XSync(painter.dpy(), False);
  svrtest::pumpUntil([] { return false; }, std::chrono::milliseconds(100));
  XMoveWindow(painter.dpy(), window, 200, 300);
  XSync(painter.dpy(), False);

  rfb::Region expected(rfb::Rect(200, 300, 250, 340));
  rfb::Region changed;
  ASSERT_TRUE(svrtest::pumpUntil([&] {
    if (!server.updateRequested) {
      server.updateRequested = true;
      desktop.requestUpdate();
    }
    for (const svr::UpdateInfo& update : server.updates)
      changed.assign_union(update.changed);
    return expected.subtract(changed).isEmpty();
  }));
  XDestroyWindow(painter.dpy(), window);
  XSync(painter.dpy(), False);
  desktop.stop();
}

TEST_F(SDesktopX11Test, GrabsAreClippedToTheActiveMonitors) {
  {
    SDesktopX11 desktop(app);
    desktop.start(server);
    // Xvfb's one CRTC shows the whole screen.
    EXPECT_TRUE(desktop.buffer()->clipRegion().equals(rfb::Region(whole)))
      << desktop.buffer()->clipRegion().print();
    desktop.stop();
  }
  ParamOverride clip("_ClipToMonitors", "0");
  SDesktopX11 desktop(app);
  desktop.start(server);
  EXPECT_TRUE(desktop.buffer()->clipRegion().isEmpty());
  desktop.stop();
}

TEST_F(SDesktopX11Test, ClientCutTextGoesToTheApplication) {
  SDesktopX11 desktop(app);
  desktop.clientCutText("hello");
  EXPECT_EQ(app.clipboard, std::vector<std::string>{"hello"});
}

TEST_F(SDesktopX11Test, EveryBufferIsFollowedByTheMonitorList) {
  SDesktopX11 desktop(app);
  EXPECT_FALSE(desktop.monitorSelection().has_value());
  desktop.start(server);
  EXPECT_EQ(desktop.monitorSelection(), std::string());
  ASSERT_EQ(app.monitorReports.size(), 1u);
  const RecordingApp::MonitorReport& report = app.monitorReports.back();
  ASSERT_EQ(report.monitors.size(), 1u);
  EXPECT_EQ(report.monitors[0].rect, whole);
  EXPECT_EQ(report.monitors[0].name, "1");
  EXPECT_FALSE(report.parameterSpec.has_value());
  EXPECT_FALSE(report.effectiveSpec.has_value());
  desktop.stop();
}

TEST_F(SDesktopX11Test, SelectionRebuildsOnlyWhenItChanges) {
  SDesktopX11 desktop(app);
  desktop.start(server);
  ASSERT_EQ(server.buffers.size(), 1u);
  desktop.setMonitor(std::string("1"));
  // The announcement of the old buffer's withdrawal, then the new buffer.
  ASSERT_EQ(server.buffers.size(), 3u);
  EXPECT_EQ(server.buffer->getRect(), whole);
  EXPECT_EQ(app.monitorReports.back().effectiveSpec, "1");
  EXPECT_FALSE(app.monitorReports.back().parameterSpec.has_value());

  desktop.setMonitor(std::string("1"));
  EXPECT_EQ(server.buffers.size(), 3u);

  testsupport::LogRecorder recorder("SDesktopX11");
  desktop.setMonitor(std::string("nonesuch"));
  EXPECT_EQ(server.buffers.size(), 3u);
  EXPECT_EQ(desktop.monitorSelection(), "1");
  std::vector<std::string> texts = recorder.texts("SDesktopX11");
  EXPECT_NE(std::find(texts.begin(), texts.end(),
                      "Invalid monitor selection: Monitor named 'nonesuch' not found"),
            texts.end());

  desktop.setMonitor(std::nullopt);
  EXPECT_EQ(server.buffers.size(), 5u);
  EXPECT_FALSE(app.monitorReports.back().effectiveSpec.has_value());
  desktop.stop();
}

TEST_F(SDesktopX11Test, StartForgetsTheSelection) {
  SDesktopX11 desktop(app);
  desktop.start(server);
  desktop.setMonitor(std::string("1"));
  desktop.stop();
  desktop.start(server);
  EXPECT_EQ(desktop.monitorSelection(), std::string());
  EXPECT_FALSE(app.monitorReports.back().effectiveSpec.has_value());
  desktop.stop();
}

TEST_F(SDesktopX11Test, ARectangleParameterCapturesItsPartOfTheScreen) {
  // Rectangles beyond the screen used to be taken as they were: a 5000x5000
  // one made a 100 MB segment of nothing.
  const rfb::Rect inside(30, 40, 230, 140);
  const struct {
    const char* spec;
    rfb::Rect captured;
  } cases[] = {
    {"200x100 at 30,40", inside},
    {"2000x2000 at 500,500", rfb::Rect(500, 500, whole.br.x, whole.br.y)},
    {"5000x5000 at 3000,3000", whole},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.spec);
    ParamOverride monitor("Monitor", c.spec);
    testsupport::LogRecorder recorder("SDesktopX11", 30);
    SDesktopX11 desktop(app);
    desktop.start(server);
    EXPECT_EQ(server.buffer->getRect(), c.captured);
    const bool inEffect = c.captured != whole;
    EXPECT_EQ(app.monitorReports.back().effectiveSpec.has_value(), inEffect);
    std::vector<std::string> texts = recorder.texts("SDesktopX11");
    EXPECT_EQ(std::count(texts.begin(), texts.end(),
                         std::string("Monitor ") + c.spec + " rect 5000x5000 at 3000,3000 lies "
                           "outside the screen " + whole.printWH()),
              inEffect ? 0 : 1);
    desktop.stop();
  }
  ParamOverride monitor("Monitor", "200x100 at 30,40");
  SDesktopX11 desktop(app);
  desktop.start(server);
  EXPECT_EQ(app.monitorReports.back().parameterSpec, "200x100 at 30,40");
  EXPECT_EQ(app.monitorReports.back().effectiveSpec, "200x100 at 30,40");
  // A viewer's pointer stays inside the captured area.
  desktop.pointerEvent(rfb::Point(0, 500), 0, false);
  XSync(dpy, False);
  Window root, child;
  int x = -1, y = -1, wx, wy;
  unsigned mask;
  XQueryPointer(painter.dpy(), painter.root(), &root, &child, &x, &y, &wx, &wy, &mask);
  EXPECT_EQ(rfb::Point(x, y), rfb::Point(30, 139));
  desktop.stop();
}

} // namespace
