// A full-screen comparison as the damage self-test runs it: 1920x1080 at 32
// bits per pixel, a claim that everything changed, and 1% of the 16x16 blocks
// really different.

#include <algorithm>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "base/rfb/ManagedPixelBuffer.h"
#include "base/rfb/PixelBufferComparer.h"
#include "base/rfb/PixelFormat.h"

namespace {

void BM_Compare1080pOnePercentChanged(benchmark::State& state) {
  const rfb::Rect screen(0, 0, 1920, 1080);
  rfb::ManagedPixelBuffer source(rfb::PixelFormat::rgb888(), screen);
  std::mt19937 rng(3);
  for (int y = 0; y < screen.height(); y += 8)
    for (int x = 0; x < screen.width(); x += 8)
      source.fillRect(rfb::Rect(x, y, x + 8, y + 8), uint32_t(rng()) & 0xffffff);

  rfb::PixelBufferComparer comparer;
  comparer.setPB(&source);
  comparer.copyFromSource(comparer.syncFormatAndRect());

  // One pixel in each of 1% of the blocks; toggled every round so that each
  // comparison finds them changed again. The pixel sits in the block's last
  // row, so each changed block is compared to the bottom.
  const int blocksX = 1920 / 16, blocksY = (1080 + 15) / 16;
  const int changedBlocks = blocksX * blocksY / 100;
  std::vector<int> blocks(size_t(blocksX) * (1080 / 16)); // full-height blocks only
  for (size_t i = 0; i < blocks.size(); i++)
    blocks[i] = int(i);
  std::shuffle(blocks.begin(), blocks.end(), rng);
  std::vector<rfb::Point> pixels;
  for (int i = 0; i < changedBlocks; i++)
    pixels.push_back(rfb::Point(blocks[i] % blocksX * 16 + 7, blocks[i] / blocksX * 16 + 15));

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
BENCHMARK(BM_Compare1080pOnePercentChanged)->Unit(benchmark::kMillisecond);

} // namespace
