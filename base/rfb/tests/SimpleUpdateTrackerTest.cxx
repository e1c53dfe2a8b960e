#include "base/rfb/SimpleUpdateTracker.h"

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace rfb {
namespace {

Region rgn(std::initializer_list<Rect> rects) {
  return Region(std::vector<Rect>(rects));
}

// One step fed to a tracker.
struct Step {
  bool copy;
  Region region;
  Point offset;
};

Step copyStep(Region region, Point offset) { return {true, std::move(region), offset}; }
Step changeStep(Region region) { return {false, std::move(region), Point()}; }

void feed(SimpleUpdateTracker& tracker, const std::vector<Step>& steps) {
  for (const Step& step : steps) {
    if (step.copy)
      tracker.addCopied(step.region, step.offset);
    else
      tracker.addChanged(step.region);
  }
}

struct MergeCase {
  const char* name;
  std::vector<Step> steps;
  Region copied;
  Point offset;
  Region changed;
};

TEST(SimpleUpdateTracker, MergingAndPending) {
  {
    const std::vector<MergeCase> cases = {
      {"same offset, disjoint sources: one copy; empty regions change nothing",
       {copyStep(rgn({{10, 0, 20, 10}}), {10, 0}), changeStep(Region()), copyStep(Region(), {0, 3}),
        copyStep(rgn({{10, 50, 20, 60}}), {10, 0})},
       rgn({{10, 0, 20, 10}, {10, 50, 20, 60}}), {10, 0}, Region()},
      {"disjoint copies: the smaller by bounding box becomes changed pixels",
       {copyStep(rgn({{0, 100, 100, 200}}), {0, 100}), copyStep(rgn({{300, 0, 310, 10}}), {-5, 0})},
       rgn({{0, 100, 100, 200}}), {0, 100}, rgn({{300, 0, 310, 10}})},
      {"bounding box, not pixel count, decides",
       // Two thin rectangles far apart span more than the 30x30 square.
       {copyStep(rgn({{0, 200, 30, 230}}), {0, 100}),
        copyStep(rgn({{300, 0, 301, 1}, {340, 40, 341, 41}}), {-200, 0})},
       rgn({{300, 0, 301, 1}, {340, 40, 341, 41}}), {-200, 0}, rgn({{0, 200, 30, 230}})},
      {"equal bounding boxes: the later copy wins",
       {copyStep(rgn({{0, 0, 10, 10}}), {0, 50}), copyStep(rgn({{100, 0, 110, 10}}), {50, 0})},
       rgn({{100, 0, 110, 10}}), {50, 0}, rgn({{0, 0, 10, 10}})},
    };

    for (const MergeCase& c : cases) {
      SCOPED_TRACE(c.name);
      SimpleUpdateTracker tracker;
      feed(tracker, c.steps);
      tracker.mergePendingCopy();
      EXPECT_TRUE(tracker.getPendingCopy().isEmpty());
      EXPECT_EQ(Point(), tracker.getPendingOffset());
      EXPECT_TRUE(tracker.getCopied().equals(c.copied)) << tracker.getCopied().print();
      EXPECT_EQ(c.offset, tracker.getCopyOffset());
      EXPECT_TRUE(tracker.getChanged().equals(c.changed)) << tracker.getChanged().print();
    }
  }
  {
    SimpleUpdateTracker tracker;
    tracker.addCopied(rgn({{10, 0, 20, 10}}), {10, 0});
    tracker.addCopied(rgn({{10, 50, 20, 60}}), {10, 0});
    EXPECT_TRUE(tracker.getCopied().isEmpty());
    EXPECT_TRUE(tracker.getPendingCopy().equals(rgn({{10, 0, 20, 10}, {10, 50, 20, 60}})));
    EXPECT_EQ(Point(10, 0), tracker.getPendingOffset());
    EXPECT_FALSE(tracker.isEmpty());

    tracker.addChanged(rgn({{0, 0, 1, 1}}));
    EXPECT_TRUE(tracker.getPendingCopy().isEmpty());
    EXPECT_TRUE(tracker.getCopied().equals(rgn({{10, 0, 20, 10}, {10, 50, 20, 60}})));
  }
}

// Pixel-level reference: whatever the tracker keeps must rebuild the new image
// from the old one.
constexpr int imageWidth = 96, imageHeight = 64;
const Rect imageRect(0, 0, imageWidth, imageHeight);
using Image = std::vector<uint32_t>;

template <typename F>
void forEachPixel(const Region& region, F f) {
  std::vector<Rect> rects;
  region.get_rects(&rects);
  for (const Rect& r : rects)
    for (int y = r.tl.y; y < r.br.y; y++)
      for (int x = r.tl.x; x < r.br.x; x++)
        f(size_t(y) * imageWidth + x);
}

// Every destination pixel takes the pixel at destination - offset, all read
// before any is written, as a screen copy does.
void copyPixels(Image& image, const Region& dest, const Point& offset) {
  const Image before = image;
  forEachPixel(dest, [&](size_t i) { image[i] = before[i - offset.y * imageWidth - offset.x]; });
}

TEST(SimpleUpdateTracker, RandomUpdatesRebuildTheScreen) {
  std::mt19937 rng(20240611);
  auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  auto randomRect = [&](int maxW, int maxH) {
    int w = uniform(1, maxW), h = uniform(1, maxH);
    return Rect::fromXYWH(uniform(0, imageWidth - w), uniform(0, imageHeight - h), w, h);
  };
  // A few offsets only, so that equal offsets (extension) and chains (copy of
  // a copy) come up often.
  const Point offsets[] = {{4, 0}, {0, 4}, {-4, 0}, {4, 4}, {-3, 7}, {10, -2}};
  Image image(size_t(imageWidth) * imageHeight);
  uint32_t next = 1;
  int updatesWithCopy = 0, summedOffsets = 0;
  for (int round = 0; round < 3000; round++) {
    SCOPED_TRACE(round);
    const Image old = image;
    SimpleUpdateTracker tracker;
    for (int i = uniform(1, 8); i > 0; i--) {
      if (uniform(0, 2) != 0) {
        Point offset = offsets[uniform(0, 5)];
        Region dest; // sources and destinations inside the image
        for (int n = uniform(1, 3); n > 0; n--)
          dest.assign_union(Region(randomRect(40, 30).intersect(imageRect.translate(offset))));
        copyPixels(image, dest, offset);
        tracker.addCopied(dest, offset);
      } else {
        Region changed(randomRect(30, 20));
        forEachPixel(changed, [&](size_t i) { image[i] = next++; });
        tracker.addChanged(changed);
      }
    }
    tracker.mergePendingCopy();
    const Region& copied = tracker.getCopied();
    const Point offset = tracker.getCopyOffset();
    if (!copied.isEmpty()) {
      updatesWithCopy++;
      Region source = copied;
      source.translate(offset.negate());
      ASSERT_TRUE(source.subtract(Region(imageRect)).isEmpty()) << "copy reads outside the image";
      summedOffsets += std::find(std::begin(offsets), std::end(offsets), offset) == std::end(offsets);
    }
    Image rebuilt = old;
    copyPixels(rebuilt, copied, offset);
    forEachPixel(tracker.getChanged(), [&](size_t i) { rebuilt[i] = image[i]; });
    ASSERT_TRUE(rebuilt == image) << "copied " << copied.print() << " by " << offset.x << ","
                                  << offset.y << " changed " << tracker.getChanged().print();
  }
  // The run is only worth something if copies survive and chain.
  EXPECT_GT(updatesWithCopy, 1000);
  EXPECT_GT(summedOffsets, 50);
}

} // namespace
} // namespace rfb
