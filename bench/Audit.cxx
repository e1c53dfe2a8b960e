// The damage audit's cost and reach, with the capture engine (CaptureMethod
// 2: damage, audited, never given up) on a private 1920x1080 depth-24 Xvfb
// whose screen is also a file in memory, so that the bench can change the
// screen behind the X server's back, as a compositor or a GL client that
// paints without damage would.
//
//   idleCost     - a screen that does not change, an update always
//                  requested: this process's CPU time as a share of one
//                  core with "DamageAuditRate" at its default, then at 0,
//                  alternately for 2 s each, in one run
//   hiddenChange - a 64x64 square written into the screen's file at a
//                  random place and moment: the time until an update names
//                  it, at the default rate (mean and worst over the run)

#include "base/plat/ConfigParameter.h"
#include "base/plat/Configuration.h"
#include "base/rfb/Region.h"
#include "bench/support/CaptureEngine.h"
#include "bench/support/PatternedScreen.h"
#include "testsupport/FramebufferFile.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <random>

namespace {

using benchsupport::CaptureEngine;

constexpr int screenWidth = 1920;
constexpr int screenHeight = 1080;

benchsupport::PatternedScreen& setUpScreen() {
  return benchsupport::PatternedScreen::shared(screenWidth, screenHeight, true);
}

// The audit at its default rate (true) or off.
void setAudit(bool on) {
  plat::ConfigParameter* rate = plat::Configuration::global().findParam("DamageAuditRate");
  rate->reset(false);
  if (!on)
    rate->setParam("0", 10);
}

void idleCost(benchmark::State& state) {
  setUpScreen();
  const std::chrono::milliseconds span(2000);
  double cpu[2] = {0, 0};
  for (auto _ : state) {
    for (bool on : {true, false}) {
      setAudit(on);
      CaptureEngine engine("2", "50");
      // The first update, and the audit's first sweep (which makes its
      // scratch image), go by first.
      engine.serveFor(std::chrono::milliseconds(2000));
      double before = CaptureEngine::cpuSeconds();
      engine.serveFor(span);
      cpu[on] += CaptureEngine::cpuSeconds() - before;
    }
  }
  setAudit(true);
  double seconds = double(state.iterations()) * double(span.count()) / 1000.0;
  state.counters["cpu_percent_audit"] = 100.0 * cpu[1] / seconds;
  state.counters["cpu_percent_off"] = 100.0 * cpu[0] / seconds;
  state.counters["added_percent"] = 100.0 * (cpu[1] - cpu[0]) / seconds;
}

void hiddenChange(benchmark::State& state) {
  testsupport::FramebufferFile screen(setUpScreen().framebufferPath(), screenWidth, screenHeight);
  setAudit(true);
  CaptureEngine engine("2", "50");
  engine.serveFor(std::chrono::milliseconds(2000));
  std::mt19937 rng(5);
  // Each run of the function (the library makes several) paints colours of
  // its own, so that every square really changes the screen.
  static uint32_t colour = 0x123456;
  double total = 0, worst = 0;
  for (auto _ : state) {
    state.PauseTiming();
    engine.serveFor(std::chrono::milliseconds(rng() % 1500));
    const rfb::Rect square = rfb::Rect::fromXYWH(int(rng() % (screenWidth - 64)),
                                                 int(rng() % (screenHeight - 64)), 64, 64);
    state.ResumeTiming();
    auto start = std::chrono::steady_clock::now();
    screen.fill(square.tl.x, square.tl.y, 64, 64, colour++ & 0xffffff);
    engine.waitUntilNamed(rfb::Region(square));
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                  .count();
    total += ms;
    worst = std::max(worst, ms);
  }
  state.counters["mean_ms"] = total / double(state.iterations());
  state.counters["worst_ms"] = worst;
}

BENCHMARK(idleCost)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(hiddenChange)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
