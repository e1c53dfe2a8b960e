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
//   fullScreenChange - damageUpdate with the repaint left out of the timing:
//                    from a finished repaint to the update naming it
//   .../inFetch, .../separate - damaged pixels copied in the damage fetch's
//                    round trip, or grabbed in a round trip of their own (the
//                    fallback; every update before the shared round trip)
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
//                    resident memory (VmRSS); under damage, the damage audit
//                    runs at its default rate (bench/Audit.cxx has its cost)

#include "base/rfb/PixelBuffer.h"
#include "base/rfb/Region.h"
#include "libs/svr/SDesktopX11.h"
#include "uilibs/tx/PixelBufferX11.h"
#include "uilibs/tx/TXUtil.h"
#include "bench/support/CaptureEngine.h"
#include "bench/support/Painter.h"
#include "bench/support/PatternedScreen.h"
#include "bench/support/ProcessTree.h"

#include <benchmark/benchmark.h>

#include <X11/Xlib.h>

#include <chrono>
#include <random>
#include <string>
#include <utility>
#include <unistd.h>

namespace {

constexpr int screenWidth = 1920;
constexpr int screenHeight = 1080;
const rfb::Rect screenRect(0, 0, screenWidth, screenHeight);

void setUpScreen() {
  benchsupport::PatternedScreen::shared(screenWidth, screenHeight);
}

// The engine on the screen, optionally made to grab each update in a round
// trip of its own.
struct Engine {
  // How an update's pixels reach the buffer under damage: copied in the
  // damage fetch's round trip (the engine's way where it can), or by a grab
  // of their own afterwards (the fallback, and how every update went
  // before). The fallback is forced with a clip region that leaves one
  // pixel out.
  enum class Grab { inFetch, separate };

  explicit Engine(const char* method, const char* pollInterval = "1", Grab grab = Grab::inFetch)
    : core(method, pollInterval), server(core.server()) {
    if (grab == Grab::separate)
      if (auto* pb = dynamic_cast<tx::PixelBufferX11*>(server.buffer))
        pb->setClipRegion(rfb::Region(screenRect).subtract(rfb::Region(rfb::Rect(0, 0, 1, 1))));
  }

  void waitForUpdate() { core.waitForUpdate(); }
  long waitUntilNamed(const rfb::Region& wanted) { return core.waitUntilNamed(wanted); }
  void serveFor(std::chrono::milliseconds span) { core.serveFor(span); }

  // The screen first: the engine starts on it.
  bool screenReady = (setUpScreen(), true);
  benchsupport::CaptureEngine core;
  benchsupport::CaptureEngine::CountingServer& server;
};

void rawGrab(benchmark::State& state) {
  setUpScreen();
  tx::PixelBufferX11 pb(tx::rootWindow(), nullptr);
  rfb::Region whole(screenRect);
  for (auto _ : state)
    pb.grabRegion(whole);
  state.SetItemsProcessed(state.iterations());
}

void pollingUpdate(benchmark::State& state) {
  Engine engine("1");
  for (auto _ : state)
    engine.waitForUpdate();
  if (!engine.server.lastChanged.equals(rfb::Region(screenRect)))
    state.SkipWithError("an update did not name the whole screen");
  state.SetItemsProcessed(state.iterations());
}

// The repainting load: the whole screen, one colour after another.
std::unique_ptr<benchsupport::Painter> startPainter() {
  benchsupport::Painter::Options options;
  options.width = screenWidth;
  options.height = screenHeight;
  return std::make_unique<benchsupport::Painter>(options);
}

// Another client repaints the whole screen and waits for the X server;
// then the engine delivers until an update has named it all. With
// `timeRepaint` false only the second half is timed: against rawGrab that is
// the cost of delivering over the cost of the grab it is built on.
void repaintThenUpdate(benchmark::State& state, bool timeRepaint, Engine::Grab grab) {
  Engine engine("2", "1", grab);
  Display* painter = XOpenDisplay(nullptr);
  GC gc = XCreateGC(painter, DefaultRootWindow(painter), 0, nullptr);
  unsigned long colour = 0;
  rfb::Region whole(screenRect);
  for (auto _ : state) {
    if (!timeRepaint)
      state.PauseTiming();
    XSetForeground(painter, gc, colour++ & 0xffffff);
    XFillRectangle(painter, DefaultRootWindow(painter), gc, 0, 0, screenWidth, screenHeight);
    XSync(painter, False);
    if (!timeRepaint)
      state.ResumeTiming();
    engine.waitUntilNamed(whole);
  }
  state.SetItemsProcessed(state.iterations());
  XFreeGC(painter, gc);
  XCloseDisplay(painter);
}

void damageUpdate(benchmark::State& state) {
  repaintThenUpdate(state, true, Engine::Grab::inFetch);
}

void fullScreenChange(benchmark::State& state, Engine::Grab grab) {
  repaintThenUpdate(state, false, grab);
}

// Frames the painter finished per second since `start`, when it had done
// `before`.
double paintedPerSecond(const benchsupport::Painter& painter, uint64_t before,
                        std::chrono::steady_clock::time_point start) {
  std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
  return double(painter.framesPainted() - before) / seconds.count();
}

void continuousUpdate(benchmark::State& state, Engine::Grab grab) {
  Engine engine("2", "1", grab);
  std::unique_ptr<benchsupport::Painter> painter = startPainter();
  if (!painter->running()) {
    state.SkipWithError("could not start the painter");
    return;
  }
  rfb::Region whole(screenRect);
  long updates = 0;
  uint64_t paintedBefore = painter->framesPainted();
  auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    updates += engine.waitUntilNamed(whole);
  }
  // What the painter got of the X server meanwhile.
  state.counters["painted_per_s"] = paintedPerSecond(*painter, paintedBefore, start);
  state.SetItemsProcessed(state.iterations());
  state.counters["updates_per_full_screen"] = double(updates) / double(state.iterations());
}

void rawGrabWhilePainting(benchmark::State& state) {
  setUpScreen();
  tx::PixelBufferX11 pb(tx::rootWindow(), nullptr);
  std::unique_ptr<benchsupport::Painter> painter = startPainter();
  if (!painter->running()) {
    state.SkipWithError("could not start the painter");
    return;
  }
  rfb::Region whole(screenRect);
  uint64_t paintedBefore = painter->framesPainted();
  auto start = std::chrono::steady_clock::now();
  for (auto _ : state)
    pb.grabRegion(whole);
  state.counters["painted_per_s"] = paintedPerSecond(*painter, paintedBefore, start);
  state.SetItemsProcessed(state.iterations());
}

void drawLatency(benchmark::State& state, Engine::Grab grab) {
  Engine engine("2", "1", grab);
  engine.waitForUpdate();
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
    engine.waitUntilNamed(rfb::Region(square));
  }
  XFreeGC(painter, gc);
  XCloseDisplay(painter);
}

void idleCpu(benchmark::State& state, const char* method, const char* pollInterval) {
  Engine engine(method, pollInterval);
  // Let the first full update, any leftover damage and the damage audit's
  // first sweep (which makes its scratch image) go by first.
  engine.serveFor(std::chrono::milliseconds(2000));
  const std::chrono::milliseconds span(500);
  double cpu = 0;
  long updates = 0;
  for (auto _ : state) {
    double before = benchsupport::CaptureEngine::cpuSeconds();
    long updatesBefore = engine.server.updates;
    engine.serveFor(span);
    cpu += benchsupport::CaptureEngine::cpuSeconds() - before;
    updates += engine.server.updates - updatesBefore;
  }
  double seconds = double(state.iterations()) * span.count() / 1000.0;
  state.counters["cpu_percent"] = 100.0 * cpu / seconds;
  state.counters["updates_per_s"] = double(updates) / seconds;
  long rss = benchsupport::ProcessTree::residentKiBOf(getpid());
  state.counters["rss_KiB"] = double(rss);
  state.counters["rss_bytes_per_pixel"] = double(rss) * 1024.0 / double(screenWidth * screenHeight);
}

BENCHMARK(rawGrab)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(pollingUpdate)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(damageUpdate)->Unit(benchmark::kMillisecond)->UseRealTime();
// Each with both ways of grabbing: "<name>/inFetch" and "<name>/separate".
bool registerBothWays(const char* name, void (*fn)(benchmark::State&, Engine::Grab)) {
  for (auto [way, grab] : {std::pair("inFetch", Engine::Grab::inFetch),
                           std::pair("separate", Engine::Grab::separate)})
    benchmark::RegisterBenchmark((std::string(name) + "/" + way).c_str(), fn, grab)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  return true;
}

const bool fullScreenChangeRegistered = registerBothWays("fullScreenChange", fullScreenChange);
const bool continuousUpdateRegistered = registerBothWays("continuousUpdate", continuousUpdate);
BENCHMARK(rawGrabWhilePainting)->Unit(benchmark::kMillisecond)->UseRealTime();
const bool drawLatencyRegistered = registerBothWays("drawLatency", drawLatency);
// Default PollInterval (50 ms) for polling: the idle cost is what the default costs.
BENCHMARK_CAPTURE(idleCpu, damage, "2", "50")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(idleCpu, polling, "1", "50")->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
