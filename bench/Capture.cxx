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
//   continuousUpdate - CaptureMethod 2: a painter process repaints the whole
//                    screen without pause while updates are requested back
//                    to back; one iteration is updates until the whole
//                    screen has been named
//   rawGrabWhilePainting - rawGrab with that painter running, the bound for
//                    continuousUpdate on a single-threaded X server
//   drawLatency    - CaptureMethod 2: another client fills a 16x16 square,
//                    time until an update names it
//   idleCpu        - the engine with an update always requested on a screen
//                    that does not change, 0.5 s per iteration: the
//                    process's CPU time as a share of one core, and its
//                    resident memory (VmRSS)

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

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <csignal>
#include <ctime>
#include <sys/wait.h>
#include <unistd.h>
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

void setParams(const char* method, const char* pollInterval = "1") {
  plat::Configuration& config = plat::Configuration::global();
  config.setParam("CaptureMethod", method, 10);
  config.setParam("PollInterval", pollInterval, 10);
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

// Runs X dispatch and timers for the given time, answering each update and
// asking for the next at once, as a client that is always waiting would.
void serveFor(svr::SDesktopX11& desktop, CountingServer& server, std::chrono::milliseconds span) {
  using Clock = std::chrono::steady_clock;
  Display* dpy = tx::display();
  Clock::time_point end = Clock::now() + span;
  while (Clock::now() < end) {
    if (!server.requested) {
      server.requested = true;
      desktop.requestUpdate();
    }
    while (XPending(dpy)) {
      XEvent event;
      XNextEvent(dpy, &event);
      tx::TXEventDispatcher::handleEvent(event);
    }
    plat::TimerManager::current()->processTimers();
    int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
    int wait = plat::TimerManager::current()->msUntilNext();
    if (wait < 0 || wait > left)
      wait = left;
    pollfd pfd = {ConnectionNumber(dpy), POLLIN, 0};
    poll(&pfd, 1, wait < 0 ? 0 : wait);
  }
}

// utime+stime of this process (the engine runs in it; the X server is
// another process). The clock rather than the tick counts in /proc/self/stat:
// ticks are 10 ms, too coarse for a fraction of a percent over a second.
double cpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

long residentKiB() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0)
      return std::stol(line.substr(6));
  return -1;
}

// A child process that fills the whole screen over and over until killed.
class Painter {
public:
  Painter() {
    pid_ = fork();
    if (pid_ != 0)
      return;
    Display* dpy = XOpenDisplay(nullptr);
    if (!dpy)
      _exit(1);
    GC gc = XCreateGC(dpy, DefaultRootWindow(dpy), 0, nullptr);
    for (unsigned long colour = 0;; colour++) {
      XSetForeground(dpy, gc, colour & 0xffffff);
      XFillRectangle(dpy, DefaultRootWindow(dpy), gc, 0, 0, screenWidth, screenHeight);
      XSync(dpy, False);
    }
  }
  ~Painter() {
    if (pid_ <= 0)
      return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  Painter(const Painter&) = delete;
  Painter& operator=(const Painter&) = delete;
  bool running() const { return pid_ > 0; }

private:
  pid_t pid_;
};

void continuousUpdate(benchmark::State& state) {
  setUpScreen();
  setParams("2");
  plat::TimerManager timers;
  App app;
  CountingServer server;
  svr::SDesktopX11 desktop(app);
  desktop.start(server);
  Painter painter;
  if (!painter.running()) {
    state.SkipWithError("could not start the painter");
    return;
  }
  rfb::Region whole(screenRect);
  long updates = 0;
  for (auto _ : state) {
    rfb::Region named;
    while (!whole.subtract(named).isEmpty()) {
      waitForUpdate(desktop, server);
      named.assign_union(server.lastChanged);
      updates++;
    }
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["updates_per_full_screen"] = double(updates) / double(state.iterations());
  desktop.stop();
}

void rawGrabWhilePainting(benchmark::State& state) {
  setUpScreen();
  tx::PixelBufferX11 pb(tx::rootWindow(), nullptr);
  Painter painter;
  if (!painter.running()) {
    state.SkipWithError("could not start the painter");
    return;
  }
  rfb::Region whole(screenRect);
  for (auto _ : state)
    pb.grabRegion(whole);
  state.SetItemsProcessed(state.iterations());
}

void drawLatency(benchmark::State& state) {
  setUpScreen();
  setParams("2");
  plat::TimerManager timers;
  App app;
  CountingServer server;
  svr::SDesktopX11 desktop(app);
  desktop.start(server);
  waitForUpdate(desktop, server);
  Display* painter = XOpenDisplay(nullptr);
  GC gc = XCreateGC(painter, DefaultRootWindow(painter), 0, nullptr);
  std::mt19937 rng(3);
  unsigned long colour = 0;
  for (auto _ : state) {
    rfb::Rect square = rfb::Rect::fromXYWH(int(rng() % (screenWidth - 16)),
                                           int(rng() % (screenHeight - 16)), 16, 16);
    XSetForeground(painter, gc, colour++ & 0xffffff);
    XFillRectangle(painter, DefaultRootWindow(painter), gc, square.tl.x, square.tl.y, 16, 16);
    XSync(painter, False);
    rfb::Region wanted(square), named;
    while (!wanted.subtract(named).isEmpty()) {
      waitForUpdate(desktop, server);
      named.assign_union(server.lastChanged);
    }
  }
  XFreeGC(painter, gc);
  XCloseDisplay(painter);
  desktop.stop();
}

void idleCpu(benchmark::State& state, const char* method, const char* pollInterval) {
  setUpScreen();
  setParams(method, pollInterval);
  plat::TimerManager timers;
  App app;
  CountingServer server;
  svr::SDesktopX11 desktop(app);
  desktop.start(server);
  // Let the first full update and any leftover damage go by first.
  serveFor(desktop, server, std::chrono::milliseconds(200));
  const std::chrono::milliseconds span(500);
  double cpu = 0;
  long updates = 0;
  for (auto _ : state) {
    double before = cpuSeconds();
    long updatesBefore = server.updates;
    serveFor(desktop, server, span);
    cpu += cpuSeconds() - before;
    updates += server.updates - updatesBefore;
  }
  double seconds = double(state.iterations()) * span.count() / 1000.0;
  state.counters["cpu_percent"] = 100.0 * cpu / seconds;
  state.counters["updates_per_s"] = double(updates) / seconds;
  state.counters["rss_KiB"] = double(residentKiB());
  desktop.stop();
}

BENCHMARK(rawGrab)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(pollingUpdate)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(damageUpdate)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(continuousUpdate)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(rawGrabWhilePainting)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(drawLatency)->Unit(benchmark::kMillisecond)->UseRealTime();
// Default PollInterval (50 ms) for polling: the idle cost is what the default costs.
BENCHMARK_CAPTURE(idleCpu, damage, "2", "50")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(idleCpu, polling, "1", "50")->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
