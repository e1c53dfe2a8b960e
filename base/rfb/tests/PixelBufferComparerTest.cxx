#include "base/rfb/PixelBufferComparer.h"

#include <functional>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "base/plat/ConfigParameter.h"
#include "base/plat/Configuration.h"
#include "base/plat/LogSetting.h"
#include "base/rfb/ManagedPixelBuffer.h"
#include "base/rfb/PixelFormat.h"

namespace rfb {
namespace {

using Update = PixelBufferComparer::Update;

std::vector<Rect> rectsOf(const Region& r) {
  std::vector<Rect> rects;
  r.get_rects(&rects);
  return rects;
}

// A pixel value that depends on the framebuffer position only, so that a
// buffer moved elsewhere still shows the same picture where the two overlap.
uint32_t pattern(int x, int y) {
  return uint32_t(x * 7919 + y * 104729) & 0xffffff;
}

void paint(ManagedPixelBuffer& pb, const Rect& area) {
  Rect r = area.intersect(pb.getRect());
  for (int y = r.tl.y; y < r.br.y; y++)
    for (int x = r.tl.x; x < r.br.x; x++)
      pb.setPixel(x, y, pattern(x, y));
}

bool samePixels(const PixelBuffer& a, const PixelBuffer& b) {
  if (!(a.getRect() == b.getRect()))
    return false;
  const Rect r = a.getRect();
  for (int y = r.tl.y; y < r.br.y; y++)
    for (int x = r.tl.x; x < r.br.x; x++)
      if (a.getPixel(x, y) != b.getPixel(x, y))
        return false;
  return true;
}

// A painted source with a comparer whose copy has caught up with it.
struct Fixture {
  explicit Fixture(const Rect& rect, const PixelFormat& pf = PixelFormat::rgb888())
    : source(pf, rect) {
    paint(source, rect);
    comparer.setPB(&source);
    Region exposed = comparer.syncFormatAndRect();
    EXPECT_TRUE(exposed.equals(Region(rect)));
    comparer.copyFromSource(exposed);
    EXPECT_TRUE(samePixels(comparer.getCopy(), source));
  }

  ManagedPixelBuffer source;
  PixelBufferComparer comparer;
};

TEST(PixelBufferComparerTest, SourceChangesShapeOrPlace) {
  {
    Fixture f(Rect(0, 0, 48, 32));
    f.source.setPF(PixelFormat::rgb565());
    Update u;
    u.copied.reset(Rect(0, 0, 16, 16));
    u.offset = Point(16, 0);
    f.comparer.compare(u);
    EXPECT_TRUE(u.copied.isEmpty());
    EXPECT_EQ(u.offset, Point());
    EXPECT_TRUE(u.changed.equals(Region(Rect(0, 0, 48, 32))));
    EXPECT_TRUE(f.comparer.getCopy().getPF() == PixelFormat::rgb565());
    EXPECT_TRUE(samePixels(f.comparer.getCopy(), f.source));
  }
  {
    Fixture f(Rect(0, 0, 64, 64));
    f.source.preserveContents = true;
    f.source.setSize(32, 32);
    f.source.setPixel(5, 5, 1);
    Update u;
    u.changed.reset(Rect(0, 0, 64, 64));
    f.comparer.compare(u);
    EXPECT_EQ(rectsOf(u.changed), std::vector<Rect>({Rect(0, 0, 16, 16)}));
    EXPECT_EQ(f.comparer.getCopy().getRect(), Rect(0, 0, 32, 32));
  }
  {
    // Moving the copy used to keep its pixels anchored at the top-left, so the
    // shared area was compared against a shifted picture and reported changed.
    Fixture f(Rect(0, 0, 64, 64));
    f.source.setRect(Rect(16, 16, 80, 80));
    paint(f.source, f.source.getRect());
    Update u;
    u.changed.reset(Rect(16, 16, 80, 80));
    f.comparer.compare(u);
    EXPECT_TRUE(u.changed.equals(Region(Rect(16, 16, 80, 80)).subtract(Region(Rect(0, 0, 64, 64)))));
    EXPECT_TRUE(samePixels(f.comparer.getCopy(), f.source));
  }
}

TEST(PixelBufferComparerTest, ClaimedCopiesAreChecked) {
  struct Case {
    const char* name;
    std::function<void(ManagedPixelBuffer&)> change;
    Rect claimed;
    bool copied; // else changed
  };
  const Case cases[] = {
    {"a real scroll of the top half right by 16",
     [](ManagedPixelBuffer& pb) { pb.copyRect(Region(Rect(16, 0, 64, 32)), Point(16, 0)); },
     Rect(16, 0, 64, 32), true},
    // The pattern is not shift-invariant.
    {"a copy that never happened", [](ManagedPixelBuffer&) {}, Rect(16, 0, 32, 16), false},
    // Destinations at x 0..16 would read from x -16..0, which does not exist.
    {"a copy from outside the source",
     [](ManagedPixelBuffer& pb) { pb.fillRect(Rect(0, 0, 32, 16), 0x777777); },
     Rect(0, 0, 32, 16), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f(Rect(0, 0, 64, 64));
    c.change(f.source);
    Update u;
    u.copied.reset(c.claimed);
    u.offset = Point(16, 0);
    f.comparer.compare(u);
    EXPECT_EQ(rectsOf(u.copied), rectsOf(c.copied ? Region(c.claimed) : Region()));
    EXPECT_EQ(rectsOf(u.changed), rectsOf(c.copied ? Region() : Region(c.claimed)));
    EXPECT_EQ(u.offset, c.copied ? Point(16, 0) : Point());
    EXPECT_TRUE(samePixels(f.comparer.getCopy(), f.source));
  }
}

TEST(PixelBufferComparerTest, RandomChangesMatchBlockReference) {
  std::mt19937 rng(1234);
  const PixelFormat* formats[] = {&PixelFormat::rgb888(), &PixelFormat::rgb565(), &PixelFormat::rgb222()};
  for (int iter = 0; iter < 30; iter++) {
    SCOPED_TRACE(iter);
    const PixelFormat& pf = *formats[iter % 3];
    Rect rect(-7, 5, -7 + 70 + iter, 5 + 45);
    Fixture f(rect, pf);
    ManagedPixelBuffer before(pf, rect);
    before.copyRegionFrom(f.source, Point(), Region(rect));
    int n = std::uniform_int_distribution<int>(0, 12)(rng);
    for (int i = 0; i < n; i++) {
      int x = std::uniform_int_distribution<int>(rect.tl.x, rect.br.x - 1)(rng);
      int y = std::uniform_int_distribution<int>(rect.tl.y, rect.br.y - 1)(rng);
      f.source.setPixel(x, y, f.source.getPixel(x, y) ^ 1);
    }
    // The claim is a random sub-rectangle; blocks are counted from its corner.
    int cx = std::uniform_int_distribution<int>(rect.tl.x, rect.tl.x + 20)(rng);
    int cy = std::uniform_int_distribution<int>(rect.tl.y, rect.tl.y + 20)(rng);
    Rect claim(cx, cy, rect.br.x, rect.br.y);
    Region expected;
    for (int by = claim.tl.y; by < claim.br.y; by += 16)
      for (int bx = claim.tl.x; bx < claim.br.x; bx += 16) {
        Rect block = Rect(bx, by, bx + 16, by + 16).intersect(claim);
        bool differs = false;
        for (int y = block.tl.y; y < block.br.y && !differs; y++)
          for (int x = block.tl.x; x < block.br.x && !differs; x++)
            differs = before.getPixel(x, y) != f.source.getPixel(x, y);
        if (differs)
          expected.assign_union(Region(block));
      }
    Update u;
    u.changed.reset(claim);
    f.comparer.compare(u);
    EXPECT_EQ(rectsOf(u.changed), rectsOf(expected));
    // Pixels outside the claim are not looked at.
    Region unseen = Region(rect).subtract(Region(claim));
    f.comparer.copyFromSource(unseen);
    EXPECT_TRUE(samePixels(f.comparer.getCopy(), f.source));
  }
}

} // namespace
} // namespace rfb
