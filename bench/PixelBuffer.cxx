// translateRect over a full-HD frame: 32 -> 16 bpp (a per-pixel conversion)
// and 32 -> 32 bpp in equal formats (row copies), plus a 32 -> 32 conversion
// between different channel orders and a composite of an alpha image.

#include "base/rfb/ManagedPixelBuffer.h"

#include <benchmark/benchmark.h>

#include <random>

namespace {

using rfb::Blend;
using rfb::ManagedPixelBuffer;
using rfb::PixelFormat;
using rfb::Point;
using rfb::Rect;

constexpr int frameWidth = 1920;
constexpr int frameHeight = 1080;

void randomise(ManagedPixelBuffer& pb) {
  std::mt19937 rng(42);
  int stride;
  uint8_t* p = pb.getPixelsRW(pb.getRect(), &stride);
  for (int64_t i = 0; i < pb.sizeBytes(); i++)
    p[i] = uint8_t(rng());
}

void translate(benchmark::State& state, const PixelFormat& from, const PixelFormat& to,
               Blend blend) {
  const Rect frame(0, 0, frameWidth, frameHeight);
  ManagedPixelBuffer src(from, frame);
  ManagedPixelBuffer dst(to, frame);
  randomise(src);
  for (auto _ : state) {
    dst.translateRect(src, Point(0, 0), frame, blend);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * int64_t(frameWidth) * frameHeight);
  state.SetBytesProcessed(state.iterations() * src.sizeBytes());
}

void BM_Translate32To16(benchmark::State& state) {
  translate(state, PixelFormat::rgb888(), PixelFormat::rgb565(), Blend::copy);
}

void BM_Translate32To32Equal(benchmark::State& state) {
  translate(state, PixelFormat::rgb888(), PixelFormat::rgb888(), Blend::copy);
}

void BM_Translate32To32Swapped(benchmark::State& state) {
  translate(state, PixelFormat::rgb888(), PixelFormat::bgr888(), Blend::copy);
}

void BM_Translate32To32Over(benchmark::State& state) {
  translate(state, PixelFormat::argb8888(), PixelFormat::rgb888(), Blend::over);
}

BENCHMARK(BM_Translate32To16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Translate32To32Equal)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Translate32To32Swapped)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Translate32To32Over)->Unit(benchmark::kMillisecond);

} // namespace
