// Region algebra at the sizes the agent sees: many small damage rectangles
// united into one region, and a fragmented region expanded to the 16x16 grid.

#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "base/rfb/Region.h"

namespace {

std::vector<rfb::Rect> smallRects(size_t count, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> x(0, 1919), y(0, 1079), len(1, 16);
  std::vector<rfb::Rect> rects;
  rects.reserve(count);
  for (size_t i = 0; i < count; i++) {
    int x1 = x(rng), y1 = y(rng);
    rects.push_back(rfb::Rect(x1, y1, x1 + len(rng), y1 + len(rng)));
  }
  return rects;
}

void BM_UnionOfSmallRects(benchmark::State& state) {
  const std::vector<rfb::Rect> rects = smallRects(size_t(state.range(0)), 1);
  int boxes = 0;
  for (auto _ : state) {
    rfb::Region r(rects);
    boxes = r.numRects();
    benchmark::DoNotOptimize(boxes);
  }
  state.counters["boxes"] = boxes;
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(rects.size()));
}
BENCHMARK(BM_UnionOfSmallRects)->Arg(10000)->Arg(3000)->Unit(benchmark::kMillisecond);

// The same rectangles added one by one: what pairwise union saves. Only the
// smaller count, as the cost grows with the square of it.
void BM_SequentialUnionOfSmallRects(benchmark::State& state) {
  const std::vector<rfb::Rect> rects = smallRects(size_t(state.range(0)), 1);
  for (auto _ : state) {
    rfb::Region r;
    for (const rfb::Rect& rect : rects)
      r.assign_union(rfb::Region(rect));
    benchmark::DoNotOptimize(r.numRects());
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(rects.size()));
}
BENCHMARK(BM_SequentialUnionOfSmallRects)->Arg(3000)->Unit(benchmark::kMillisecond);

void BM_RoundToMultipleOfFragmentedRegion(benchmark::State& state) {
  const rfb::Region fragmented(smallRects(10000, 2));
  int cells = 0;
  for (auto _ : state) {
    rfb::Region rounded = fragmented.roundToMultiple(16, 16);
    cells = rounded.numRects();
    benchmark::DoNotOptimize(cells);
  }
  state.counters["in_boxes"] = fragmented.numRects();
  state.counters["out_boxes"] = cells;
  state.SetItemsProcessed(int64_t(state.iterations()) * fragmented.numRects());
}
BENCHMARK(BM_RoundToMultipleOfFragmentedRegion)->Unit(benchmark::kMillisecond);

} // namespace
