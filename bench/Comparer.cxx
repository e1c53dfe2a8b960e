// A full-screen comparison as the damage self-test and kwo-serve's frame copy
// run it: 1920x1080 at 32 bits per pixel, a claim that everything changed,
// and a share of the 16x16 blocks (argument 0, in percent) really different
// in one pixel of one row (argument 1: 15, the last row, so that each
// changed block is compared to the bottom and one row copied; 0, the first,
// so that a changed block is copied whole, as when a video plays).

#include <algorithm>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "base/rfb/ManagedPixelBuffer.h"
#include "base/rfb/PixelBufferComparer.h"
#include "base/rfb/PixelFormat.h"

namespace {

void BM_Compare1080p(benchmark::State& state) {
  const rfb::Rect screen(0, 0, 1920, 1080);
  rfb::ManagedPixelBuffer source(rfb::PixelFormat::rgb888(), screen);
  std::mt19937 rng(3);
  for (int y = 0; y < screen.height(); y += 8)
    for (int x = 0; x < screen.width(); x += 8)
      source.fillRect(rfb::Rect(x, y, x + 8, y + 8), uint32_t(rng()) & 0xffffff);

  rfb::PixelBufferComparer comparer;
  comparer.setPB(&source);
  comparer.copyFromSource(comparer.syncFormatAndRect());

  // One pixel in each of the changed blocks; toggled every round so that each
  // comparison finds them changed again.
  const int blocksX = 1920 / 16;
  std::vector<int> blocks(size_t(blocksX) * (1080 / 16)); // full-height blocks only
  const int changedBlocks = int(blocks.size() * size_t(state.range(0)) / 100);
  const int row = int(state.range(1));
  for (size_t i = 0; i < blocks.size(); i++)
    blocks[i] = int(i);
  std::shuffle(blocks.begin(), blocks.end(), rng);
  std::vector<rfb::Point> pixels;
  for (int i = 0; i < changedBlocks; i++)
    pixels.push_back(rfb::Point(blocks[i] % blocksX * 16 + 7, blocks[i] / blocksX * 16 + row));

  int reported = 0;
  for (auto _ : state) {
    for (const rfb::Point& p : pixels)
      source.setPixel(p.x, p.y, source.getPixel(p.x, p.y) ^ 0x010101);
    rfb::PixelBufferComparer::Update update;
    update.changed.reset(screen);
    comparer.compare(update);
    reported = update.changed.numRects();
    benchmark::DoNotOptimize(reported);
  }
  state.counters["changed_blocks"] = changedBlocks;
  state.counters["reported_boxes"] = reported;
  state.SetBytesProcessed(int64_t(state.iterations()) * screen.area() * 4);
}
BENCHMARK(BM_Compare1080p)
    ->ArgNames({"percent", "row"})
    ->Args({0, 15})
    ->Args({1, 15})
    ->Args({100, 15})
    ->Args({100, 0})
    ->Unit(benchmark::kMillisecond);

} // namespace
