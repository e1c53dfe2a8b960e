// Screen grabbing from a private 1920x1080 depth-24 Xvfb into the shared
// buffer, for each of the three ways: the whole screen, and a region of 20
// scattered 64x64 squares (what a busy damage update looks like). Most of
// the work happens in the X server, so the rates are taken over wall time.

#include "uilibs/tx/PixelBufferX11.h"
#include "uilibs/tx/TXUtil.h"

#include "base/plat/Configuration.h"
#include "base/rfb/Region.h"
#include "bench/support/PatternedScreen.h"

#include <benchmark/benchmark.h>

#include <X11/Xlib.h>

#include <memory>
#include <random>

namespace {

using Method = tx::PixelBufferX11::Method;

constexpr int screenWidth = 1920;
constexpr int screenHeight = 1080;

void setUpScreen() {
  benchsupport::PatternedScreen::shared(screenWidth, screenHeight);
}

std::unique_ptr<tx::PixelBufferX11> makeBuffer(Method method) {
  setUpScreen();
  plat::Configuration::global().setParam("_UseXShm", method == Method::plainImage ? "0" : "1",
                                         10);
  return std::make_unique<tx::PixelBufferX11>(DefaultRootWindow(tx::display()), nullptr,
                                              rfb::Rect(), method);
}

void grab(benchmark::State& state, Method method, const rfb::Region& region, int64_t pixels) {
  std::unique_ptr<tx::PixelBufferX11> pb = makeBuffer(method);
  if (pb->method() != method) {
    state.SkipWithError("the server does not offer this way");
    return;
  }
  for (auto _ : state) {
    pb->grabRegion(region);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * pixels);
  state.SetBytesProcessed(state.iterations() * pixels * 4);
}

void wholeScreen(benchmark::State& state, Method method) {
  grab(state, method, rfb::Region(rfb::Rect(0, 0, screenWidth, screenHeight)),
       int64_t(screenWidth) * screenHeight);
}

void scatteredSquares(benchmark::State& state, Method method) {
  rfb::Region region;
  std::mt19937 rng(7);
  while (region.numRects() < 20) {
    int x = int(rng() % (screenWidth / 80)) * 80;
    int y = int(rng() % (screenHeight / 80)) * 80;
    region.assign_union(rfb::Region(rfb::Rect::fromXYWH(x, y, 64, 64)));
  }
  grab(state, method, region, 20 * 64 * 64);
}

BENCHMARK_CAPTURE(wholeScreen, shmPixmap, Method::shmPixmap)
  ->Unit(benchmark::kMillisecond)
  ->UseRealTime();
BENCHMARK_CAPTURE(wholeScreen, shmImage, Method::shmImage)
  ->Unit(benchmark::kMillisecond)
  ->UseRealTime();
BENCHMARK_CAPTURE(wholeScreen, plainImage, Method::plainImage)
  ->Unit(benchmark::kMillisecond)
  ->UseRealTime();
BENCHMARK_CAPTURE(scatteredSquares, shmPixmap, Method::shmPixmap)
  ->Unit(benchmark::kMicrosecond)
  ->UseRealTime();
BENCHMARK_CAPTURE(scatteredSquares, shmImage, Method::shmImage)
  ->Unit(benchmark::kMicrosecond)
  ->UseRealTime();
BENCHMARK_CAPTURE(scatteredSquares, plainImage, Method::plainImage)
  ->Unit(benchmark::kMicrosecond)
  ->UseRealTime();

} // namespace
