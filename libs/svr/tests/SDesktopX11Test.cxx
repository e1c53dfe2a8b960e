#include "libs/svr/tests/DesktopTestSupport.h"
#include "libs/svr/tests/InputTestSupport.h"

#include "libs/svr/SDesktopX11.h"
#include "uilibs/tx/PixelBufferX11.h"
#include "uilibs/tx/tests/ClipboardPeers.h"

#include "testsupport/LogRecorder.h"

#include <X11/cursorfont.h>

#include <algorithm>

namespace {

using svr::SDesktopX11;
using Capture = SDesktopX11::Capture;
using cliptest::ScopedParam;

bool contains(const std::vector<std::string>& texts, const std::string& text) {
  return std::find(texts.begin(), texts.end(), text) != texts.end();
}

class SDesktopX11Test : public ::testing::Test {
protected:
  void SetUp() override {
    dpy = svrtest::openSharedDisplay();
    ASSERT_NE(dpy, nullptr);
    whole = rfb::Rect(0, 0, DisplayWidth(dpy, 0), DisplayHeight(dpy, 0));
  }

  // Asks for updates (as a viewer would) and pumps until `done` holds.
  bool updatesUntil(SDesktopX11& desktop, const std::function<bool()>& done,
                    std::chrono::milliseconds deadline = std::chrono::seconds(30)) {
    return svrtest::pumpUntil(
      [&] {
        if (!server.updateRequested) {
          server.updateRequested = true;
          desktop.requestUpdate();
        }
        return done();
      },
      deadline);
  }

  // Requests updates until the buffer shows `rgb` at x, y; the union of the
  // changed regions of all updates.
  rfb::Region changedUntilPixel(SDesktopX11& desktop, int x, int y, uint32_t rgb) {
    EXPECT_TRUE(updatesUntil(desktop, [&] { return server.buffer->getPixel(x, y) == rgb; }));
    rfb::Region changed;
    for (const svr::UpdateInfo& update : server.updates)
      changed.assign_union(update.changed);
    return changed;
  }

  bool button1Down() {
    Window root, child;
    int rx, ry, wx, wy;
    unsigned mask = 0;
    XQueryPointer(painter.dpy(), painter.root(), &root, &child, &rx, &ry, &wx, &wy, &mask);
    return (mask & Button1Mask) != 0;
  }

  plat::TimerManager timers;
  Display* dpy = nullptr;
  rfb::Rect whole;
  svrtest::Painter painter;
  svrtest::RecordingServer server;
  svrtest::RecordingApp app;
};

TEST_F(SDesktopX11Test, StartAnnouncesTheScreenAndItsMonitorsStopWithdrawsThem) {
  painter.fill(0, 0, whole.width(), whole.height(), 0x202020);
  painter.fill(40, 30, 100, 60, 0xff0000);
  SDesktopX11 desktop(app);
  for (int session = 0; session < 2; session++) {
    SCOPED_TRACE(session);
    desktop.start(server);
    ASSERT_NE(server.buffer, nullptr);
    EXPECT_EQ(server.buffer->getRect(), whole);
    EXPECT_EQ(server.buffer->getPixel(41, 31), 0xff0000u);
    EXPECT_EQ(server.buffer->getPixel(105, 605), session ? 0xabcdefu : 0x202020u);
    // Xvfb's one CRTC shows the whole screen; grabs are clipped to it.
    EXPECT_TRUE(desktop.buffer()->clipRegion().equals(rfb::Region(whole)));
    EXPECT_NE(tx::TXEventDispatcher::rootEventMask() & StructureNotifyMask, 0);

    // Used to stay down after "stop": the local user had a held button
    // until a new viewer sent a mask, and that viewer's press was skipped.
    desktop.pointerEvent(rfb::Point(10, 10), 1, false);
    EXPECT_TRUE(svrtest::pumpUntil([&] { return button1Down(); }));
    desktop.stop();
    EXPECT_TRUE(svrtest::pumpUntil([&] { return !button1Down(); }));
    EXPECT_EQ(desktop.capture(), Capture::none);
    EXPECT_EQ(desktop.buffer(), nullptr);
    // The server was told before the buffer went, so it never holds a
    // freed one.
    EXPECT_EQ(server.buffer, nullptr);
    EXPECT_EQ(tx::TXEventDispatcher::rootEventMask() & (StructureNotifyMask | SubstructureNotifyMask),
              0);
    painter.fill(100, 600, 10, 10, 0xabcdef);
  }
  EXPECT_EQ(server.buffers.size(), 4u);

  ScopedParam clip("_ClipToMonitors", "0");
  desktop.start(server);
  EXPECT_TRUE(desktop.buffer()->clipRegion().isEmpty());
  desktop.stop();
}

TEST_F(SDesktopX11Test, EachCaptureMethodDeliversChanges) {
  struct Case {
    const char* method;
    const char* useXFixes;
    Capture capture;
    bool onlyWhatChanged;
    const char* logged;
  };
  const Case cases[] = {
    {"1", "1", Capture::polling, false, "Using polling"},
    {"2", "1", Capture::damage, true, "Using damage extension"},
    {"2", "0", Capture::polling, false, "Using polling"},
  };
  uint32_t colour = 0x0000ff;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " XFixes " + c.useXFixes);
    ScopedParam method("CaptureMethod", c.method);
    ScopedParam xfixes("UseXFixes", c.useXFixes);
    testsupport::LogRecorder recorder("SDesktopX11");
    server.updates.clear();
    server.cursors.clear();
    app.brokenReports.clear();
    SDesktopX11 desktop(app);
    desktop.start(server);
    EXPECT_EQ(desktop.capture(), c.capture);
    EXPECT_FALSE(desktop.damageTestRunning());
    EXPECT_TRUE(contains(recorder.texts("SDesktopX11"), c.logged));
    // Without XFixes the cursor is the arrow, sent at start.
    ASSERT_EQ(server.cursors.size(), 1u);
    EXPECT_EQ(server.cursors[0]->getRect() == rfb::Rect(0, 0, 12, 21), *c.useXFixes == '0');

    painter.fill(600, 100, 30, 10, ++colour);
    rfb::Region changed = changedUntilPixel(desktop, 610, 105, colour);
    EXPECT_TRUE(rfb::Region(rfb::Rect(600, 100, 630, 110)).subtract(changed).isEmpty());
    EXPECT_EQ(changed.equals(rfb::Region(whole)), !c.onlyWhatChanged) << changed.print();
    // Forced damage stays until the desktop stops, which says capture is
    // fine.
    desktop.stop();
    EXPECT_EQ(app.brokenReports, std::vector<bool>(c.capture == Capture::damage, false));
  }
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
  ScopedParam method("CaptureMethod", "2");
  SDesktopX11 desktop(app);
  desktop.start(server);
  // An unmapped window changes no pixels, so only the tracker sees it move.
  Window window = XCreateSimpleWindow(painter.dpy(), painter.root(), 10, 10, 50, 40, 0, 0, 0);
  XSync(painter.dpy(), False);
  svrtest::pumpUntil([] { return false; }, std::chrono::milliseconds(100));
  XMoveWindow(painter.dpy(), window, 200, 300);
  XSync(painter.dpy(), False);
  rfb::Region expected(rfb::Rect(200, 300, 250, 340));
  EXPECT_TRUE(updatesUntil(desktop, [&] {
    rfb::Region changed;
    for (const svr::UpdateInfo& update : server.updates)
      changed.assign_union(update.changed);
    return expected.subtract(changed).isEmpty();
  }));
  XDestroyWindow(painter.dpy(), window);
  XSync(painter.dpy(), False);
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
    ScopedParam monitor("Monitor", c.spec);
    testsupport::LogRecorder recorder("SDesktopX11", 30);
    SDesktopX11 desktop(app);
    desktop.start(server);
    EXPECT_EQ(server.buffer->getRect(), c.captured);
    const bool inEffect = c.captured != whole;
    EXPECT_EQ(app.monitorReports.back().effectiveSpec.has_value(), inEffect);
    EXPECT_EQ(contains(recorder.texts("SDesktopX11"),
                       std::string("Monitor ") + c.spec + " rect 5000x5000 at 3000,3000 lies "
                         "outside the screen " + whole.printWH()),
              !inEffect);
    if (c.captured == inside) {
      EXPECT_EQ(app.monitorReports.back().parameterSpec, c.spec);
      // A viewer's pointer stays inside the captured area.
      desktop.pointerEvent(rfb::Point(0, 500), 0, false);
      XSync(dpy, False);
      EXPECT_EQ(svrtest::pointerOf(painter.dpy()), std::make_pair(30, 139));
    }
    desktop.stop();
  }
}

} // namespace
