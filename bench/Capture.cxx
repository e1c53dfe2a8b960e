// Full-screen updates through the capture engine against the raw grab they
// are built on, on a private 1920x1080 depth-24 Xvfb. An update is what a
// server sees: request, the engine's scheduler and timers, the grab into the
// shared buffer and the call naming the region. The server end here grabs
// on fbUpdate as the protocol end does but sends nothing, so the figures
// leave out the channel (see Framing for that).
//
//   rawGrab        - PixelBufferX11::grabRegion of the whole screen
//   pollingUpdate  - CaptureMethod 1, PollInterval 1: the whole screen named
//                    by the poll timer
//   damageUpdate   - CaptureMethod 2: another client repaints the whole
//                    screen, XDAMAGE reports it, the update names it

#include "base/plat/Configuration.h"
#include "base/plat/Exception.h"
#include "base/plat/TimerManager.h"
#include "base/rfb/PixelBuffer.h"
#include "base/rfb/Region.h"
#include "libs/svr/SDesktopX11.h"
#include "libs/svr/SServer.h"
#include "libs/svr/UpdateInfo.h"
#include "uilibs/tx/PixelBufferX11.h"
#include "uilibs/tx/TXEventDispatcher.h"
#include "uilibs/tx/TXUtil.h"
#include "testsupport/XvfbServer.h"

#include <benchmark/benchmark.h>

#include <X11/Xlib.h>

#include <memory>
#include <poll.h>
#include <random>

namespace {

constexpr int screenWidth = 1920;
constexpr int screenHeight = 1080;
const rfb::Rect screenRect(0, 0, screenWidth, screenHeight);

void setUpScreen() {
  static std::unique_ptr<testsupport::XvfbServer> server;
  if (server)
    return;
  testsupport::XvfbServer::Options options;
  options.width = screenWidth;
  options.height = screenHeight;
  server = std::make_unique<testsupport::XvfbServer>(options);
  server->exportDisplay();
  tx::openDisplay(server->displayName().c_str());
  Display* dpy = tx::display();
  GC gc = XCreateGC(dpy, tx::rootWindow(), 0, nullptr);
  std::mt19937 rng(42);
  for (int i = 0; i < 2000; i++) {
    XSetForeground(dpy, gc, rng() & 0xffffff);
    XFillRectangle(dpy, tx::rootWindow(), gc, int(rng() % screenWidth),
                   int(rng() % screenHeight), 1 + rng() % 300, 1 + rng() % 200);
  }
  XFreeGC(dpy, gc);
  XSync(dpy, False);
}

// The server end: grabs the named pixels, counts the updates.
class CountingServer : public svr::SServer {
public:
  void setPixelBuffer(rfb::PixelBuffer* pb) override {
    buffer = pb;
    if (pb)
      pb->grabRegion(rfb::Region(pb->getRect()));
  }
  void setColourMapEntries(int, int) override {}
  void serverCutText(std::string_view) override {}
  void bell() override {}
  bool isUpdateRequested() override { return requested; }
  void desktopFailure(const plat::Exception&) override {}
  void closeClients(const svr::CloseReason&) override {}
  void fbUpdate(const svr::UpdateInfo& update) override {
    requested = false;
    if (buffer)
      buffer->grabRegion(update.copied.unite(update.changed));
    lastChanged = update.changed;
    updates++;
  }
  void setCursorImage(const rfb::Cursor*) override {}
  void setCursorPos(const rfb::Point&) override {}
  void localInput() override {}
  void setBlankRegion(const rfb::Region&) override {}

  rfb::PixelBuffer* buffer = nullptr;
  rfb::Region lastChanged;
  bool requested = false;
  long updates = 0;
};

class App : public svr::SDesktopX11::Callback {
  void monitorsUpdated(const std::vector<svr::MonitorInfo>&, const std::optional<std::string>&,
                       const std::optional<std::string>&) override {}
  void setClipboardText(std::string_view) override {}
  void captureBroken(bool) override {}
  const ipc_perm* getShmPerm() override { return nullptr; }
};

// Runs X dispatch and timers until the server has one more update.
void waitForUpdate(svr::SDesktopX11& desktop, CountingServer& server) {
  long before = server.updates;
  server.requested = true;
  desktop.requestUpdate();
  Display* dpy = tx::display();
  while (server.updates == before) {
    while (XPending(dpy)) {
      XEvent event;
      XNextEvent(dpy, &event);
      tx::TXEventDispatcher::handleEvent(event);
    }
    plat::TimerManager::current()->processTimers();
    if (server.updates != before)
      break;
    int wait = plat::TimerManager::current()->msUntilNext();
    pollfd pfd = {ConnectionNumber(dpy), POLLIN, 0};
    poll(&pfd, 1, wait < 0 || wait > 100 ? 100 : wait);
  }
}

void setParams(const char* method) {
  plat::Configuration& config = plat::Configuration::global();
  config.setParam("CaptureMethod", method, 10);
  config.setParam("PollInterval", "1", 10);
  config.setParam("UpdatePeriod", "0", 10);
  config.setParam("UpdateBatchDelay", "0", 10);
}

void rawGrab(benchmark::State& state) {
  setUpScreen();
  tx::PixelBufferX11 pb(tx::rootWindow(), nullptr);
  rfb::Region whole(screenRect);
  for (auto _ : state)
    pb.grabRegion(whole);
  state.SetItemsProcessed(state.iterations());
}

void pollingUpdate(benchmark::State& state) {
  setUpScreen();
  setParams("1");
  plat::TimerManager timers;
  App app;
  CountingServer server;
  svr::SDesktopX11 desktop(app);
  desktop.start(server);
  for (auto _ : state)
    waitForUpdate(desktop, server);
  if (!server.lastChanged.equals(rfb::Region(screenRect)))
    state.SkipWithError("an update did not name the whole screen");
  state.SetItemsProcessed(state.iterations());
  desktop.stop();
}

void damageUpdate(benchmark::State& state) {
  setUpScreen();
  setParams("2");
  plat::TimerManager timers;
  App app;
  CountingServer server;
  svr::SDesktopX11 desktop(app);
  desktop.start(server);
  Display* painter = XOpenDisplay(nullptr);
  GC gc = XCreateGC(painter, DefaultRootWindow(painter), 0, nullptr);
  unsigned long colour = 0;
  rfb::Region whole(screenRect);
  for (auto _ : state) {
    XSetForeground(painter, gc, colour++ & 0xffffff);
    XFillRectangle(painter, DefaultRootWindow(painter), gc, 0, 0, screenWidth, screenHeight);
    XSync(painter, False);
    rfb::Region named;
    while (!whole.subtract(named).isEmpty()) {
      waitForUpdate(desktop, server);
      named.assign_union(server.lastChanged);
    }
  }
  state.SetItemsProcessed(state.iterations());
  XFreeGC(painter, gc);
  XCloseDisplay(painter);
  desktop.stop();
}

BENCHMARK(rawGrab)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(pollingUpdate)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(damageUpdate)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
