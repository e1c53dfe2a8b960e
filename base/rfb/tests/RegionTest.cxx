#include "base/rfb/Region.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "base/plat/Exception.h"
#include "base/rdr/BlockException.h"
#include "base/rdr/InStream.h"
#include "base/rdr/MemOutStream.h"
#include "testsupport/ArrivingInStream.h"

namespace rfb {

// Readable box lists in failure messages.
void PrintTo(const RgnRect& b, std::ostream* os) {
  *os << Rect(b).print();
}

namespace {

using Boxes = std::vector<RgnRect>;

Boxes boxesOf(const Region& r) {
  std::span<const RgnRect> b = r.boxes();
  return Boxes(b.begin(), b.end());
}

Region unionOf(std::initializer_list<Rect> rects) {
  Region r;
  for (const Rect& rect : rects)
    r.assign_union(Region(rect));
  return r;
}

// Pixels of a small window, with the canonical box list computed the slow,
// obvious way: runs of set pixels per row, and maximal runs of rows whose runs
// are identical.
class Bitmap {
public:
  Bitmap(int lo, int hi) : lo_(lo), size_(hi - lo), bits_(size_t(size_) * size_, false) {}

  void set(const Rect& r, bool value = true) {
    Rect c = r.intersect(Rect(lo_, lo_, lo_ + size_, lo_ + size_));
    for (int y = c.tl.y; y < c.br.y; y++)
      for (int x = c.tl.x; x < c.br.x; x++)
        at(x, y) = value;
  }
  bool get(int x, int y) const { return bits_[index(x, y)]; }

  Boxes canonicalBoxes() const {
    Boxes out;
    std::vector<std::pair<int, int>> bandSpans;
    int bandTop = 0;
    auto flush = [&](int bottom) {
      for (auto [x1, x2] : bandSpans)
        out.push_back(RgnRect(int16_t(x1), int16_t(bandTop), int16_t(x2), int16_t(bottom)));
    };
    for (int y = lo_; y < lo_ + size_; y++) {
      std::vector<std::pair<int, int>> spans;
      for (int x = lo_; x < lo_ + size_;) {
        if (!get(x, y)) {
          x++;
          continue;
        }
        int start = x;
        while (x < lo_ + size_ && get(x, y))
          x++;
        spans.emplace_back(start, x);
      }
      if (spans != bandSpans) {
        flush(y);
        bandSpans = spans;
        bandTop = y;
      }
    }
    flush(lo_ + size_);
    return out;
  }

private:
  size_t index(int x, int y) const { return size_t(y - lo_) * size_ + size_t(x - lo_); }
  std::vector<bool>::reference at(int x, int y) { return bits_[index(x, y)]; }

  int lo_;
  int size_;
  std::vector<bool> bits_;
};

Rect randomRect(std::mt19937& rng, int lo, int hi, int maxSize) {
  std::uniform_int_distribution<int> pos(lo, hi - 1);
  std::uniform_int_distribution<int> len(0, maxSize);
  int x = pos(rng), y = pos(rng);
  return Rect(x, y, x + len(rng), y + len(rng));
}

std::vector<uint8_t> wireOf(const Region& r) {
  rdr::MemOutStream os;
  r.write(os);
  return os.takeData();
}

std::vector<uint8_t> u16s(std::initializer_list<int> values) {
  std::vector<uint8_t> out;
  for (int v : values) {
    out.push_back(uint8_t(uint16_t(v) >> 8));
    out.push_back(uint8_t(v));
  }
  return out;
}

// Reads one region whose bytes arrive `step` bytes each time the read blocks.
Region readInPieces(const std::vector<uint8_t>& wire, size_t step, Region target) {
  testsupport::ArrivingInStream is(wire);
  Region before = target;
  int blocked = 0;
  for (;;) {
    try {
      target.read(is);
      break;
    } catch (const rdr::BlockException&) {
      blocked++;
      // Nothing changes until the whole region is there, and the stream is
      // back at its checkpoint.
      EXPECT_TRUE(target.equals(before));
      EXPECT_EQ(is.pos(), is.checkpointPos());
      is.arrive(step);
      if (blocked > int(wire.size()) + 2) {
        ADD_FAILURE() << "read never completed";
        break;
      }
    }
  }
  EXPECT_EQ(target.readIndex(), -1);
  EXPECT_EQ(is.pos(), wire.size());
  return target;
}

TEST(RegionTest, OwnRepresentation) {
  // Construction clamps to 16 bits; a box wholly outside becomes empty.
  EXPECT_EQ(boxesOf(Region(Rect(-40000, 0, 100, 100))), Boxes({RgnRect(-32768, 0, 100, 100)}));
  EXPECT_TRUE(Region(Rect(40000, 0, 50000, 10)).isEmpty());
  EXPECT_TRUE(Region(Rect(5, 5, 1, 1)).isCanonical());

  // pixman keeps whatever zero-area extents an operation left; comparing them
  // made two empty regions unequal.
  Region b;
  pixman_region_clear(b.native());
  b.native()->extents = pixman_box16_t{5, 5, 5, 5}; // an empty region whose extents sit elsewhere
  EXPECT_TRUE(Region().equals(b));
  EXPECT_FALSE(Region().equals(Region(Rect(0, 0, 1, 1))));
}

// A broken region is what pixman leaves when a box block cannot be had. A
// request too large to allocate produces it without exhausting memory.
Region makeBroken() {
  Region r;
  pixman_box16_t unused{};
  EXPECT_FALSE(pixman_region_init_rects(r.native(), &unused, 600000000));
  return r;
}

TEST(RegionTest, BrokenRegionIsDistinctAndContagious) {
  Region broken = makeBroken();
  ASSERT_TRUE(broken.isBroken());
  EXPECT_TRUE(broken.isEmpty());
  EXPECT_FALSE(broken.equals(Region()));
  EXPECT_TRUE(broken.equals(makeBroken()));

  EXPECT_TRUE(Region(Rect(0, 0, 10, 10)).unite(broken).isBroken());
  Region moved = broken;
  EXPECT_TRUE(moved.isBroken());
  moved.translate(5, 5);
  EXPECT_TRUE(moved.isBroken());
  // Clearing mends it.
  moved.clear();
  EXPECT_FALSE(moved.isBroken());
  EXPECT_TRUE(moved.isCanonical());
}

TEST(RegionTest, ClampsAtThe16BitEdge) {
  {
    Region lShape = unionOf({Rect(0, 0, 20, 10), Rect(0, 10, 10, 20)});
    struct Case {
      const char* name;
      Region in;
      int dx, dy;
      Boxes expected;
    };
    const Case cases[] = {
      {"int extremes", lShape, INT_MAX, INT_MIN, {}},
      {"partly dropped", lShape, 32760, 0, {RgnRect(32760, 0, 32767, 20)}},
      {"single box out", Region(Rect(0, 0, 10, 10)), -32778, 0, {}},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      Region r = c.in;
      r.translate(c.dx, c.dy);
      EXPECT_EQ(boxesOf(r), c.expected);
      EXPECT_TRUE(r.isCanonical());
    }
  }
  {
    // Clamping at the edge used to leave two adjacent bands with the same span,
    // a non-canonical list that compared unequal to the same pixels.
    Region r = unionOf({Rect(-32000, 0, 0, 10), Rect(-31000, 10, 0, 20)});
    ASSERT_EQ(r.numRects(), 2);
    r.translate(-2000, 0);
    EXPECT_EQ(boxesOf(r), Boxes({RgnRect(-32768, 0, -2000, 20)}));
    EXPECT_TRUE(r.isCanonical());
    EXPECT_TRUE(r.equals(Region(Rect(-32768, 0, -2000, 20))));
  }
  // Rounding clamps too, and huge cells or far origins do not overflow.
  EXPECT_EQ(boxesOf(Region(Rect(32760, 0, 32767, 1)).roundToMultiple(64, 64)),
            Boxes({RgnRect(32704, 0, 32767, 64)}));
  EXPECT_EQ(boxesOf(Region(Rect(0, 0, 1, 1)).roundToMultiple(INT_MAX, INT_MAX)),
            Boxes({RgnRect(0, 0, 32767, 32767)}));
  EXPECT_EQ(boxesOf(Region(Rect(0, 0, 1, 1)).roundToMultiple(16, 16, Point(INT_MIN, INT_MAX))),
            Boxes({RgnRect(0, -1, 16, 15)}));
}

TEST(RegionTest, RandomisedAlgebraMatchesBitmap) {
  std::mt19937 rng(20240517);
  const int lo = -20, hi = 60;
  for (int iter = 0; iter < 150; iter++) {
    SCOPED_TRACE(iter);
    std::vector<Rect> ra, rb;
    int na = std::uniform_int_distribution<int>(0, 8)(rng);
    int nb = std::uniform_int_distribution<int>(0, 8)(rng);
    for (int i = 0; i < na; i++)
      ra.push_back(randomRect(rng, lo, hi, 25));
    for (int i = 0; i < nb; i++)
      rb.push_back(randomRect(rng, lo, hi, 25));

    Bitmap bitA(lo, hi + 25), bitB(lo, hi + 25);
    for (const Rect& r : ra)
      bitA.set(r);
    for (const Rect& r : rb)
      bitB.set(r);

    Region a(ra), b(rb);
    EXPECT_EQ(boxesOf(a), bitA.canonicalBoxes());

    Bitmap uni = bitA, inter = bitA, diff = bitA;
    for (int y = lo; y < hi + 25; y++)
      for (int x = lo; x < hi + 25; x++) {
        Rect pixel(x, y, x + 1, y + 1);
        uni.set(pixel, bitA.get(x, y) || bitB.get(x, y));
        inter.set(pixel, bitA.get(x, y) && bitB.get(x, y));
        diff.set(pixel, bitA.get(x, y) && !bitB.get(x, y));
      }
    Region u = a.unite(b), i = a.intersect(b), d = a.subtract(b);
    EXPECT_EQ(boxesOf(u), uni.canonicalBoxes());
    EXPECT_EQ(boxesOf(i), inter.canonicalBoxes());
    EXPECT_EQ(boxesOf(d), diff.canonicalBoxes());
    for (const Region* r : {&u, &i, &d})
      EXPECT_TRUE(r->isCanonical());

    // The wire form reads back over an older region, arriving a few bytes at a time.
    Region back = readInPieces(wireOf(u), 1 + iter % 4, a);
    EXPECT_EQ(boxesOf(back), boxesOf(u));
    EXPECT_TRUE(back.isCanonical());

    // Translation is a plain shift while in range.
    int dx = std::uniform_int_distribution<int>(-30, 30)(rng);
    int dy = std::uniform_int_distribution<int>(-30, 30)(rng);
    Region moved = u;
    moved.translate(dx, dy);
    Boxes shifted = uni.canonicalBoxes();
    for (RgnRect& box : shifted)
      box = RgnRect(Rect(box).translate(Point(dx, dy)));
    EXPECT_EQ(boxesOf(moved), shifted);

    // Rounding covers exactly the grid cells that hold a pixel.
    std::uniform_int_distribution<int> cell(1, 9), place(-20, 20);
    int w = cell(rng), h = cell(rng);
    Point origin(place(rng), place(rng));
    Bitmap cells(lo - 10, hi + 35);
    for (int y = lo; y < hi + 25; y++)
      for (int x = lo; x < hi + 25; x++)
        if (bitA.get(x, y)) {
          int cx = x - ((x - origin.x) % w + w) % w;
          int cy = y - ((y - origin.y) % h + h) % h;
          cells.set(Rect(cx, cy, cx + w, cy + h));
        }
    EXPECT_EQ(boxesOf(a.roundToMultiple(w, h, origin)), cells.canonicalBoxes());
  }
}

TEST(RegionTest, WireForm) {
  {
    EXPECT_EQ(wireOf(Region()), u16s({0, 0, 0, 0, 0}));
    EXPECT_EQ(wireOf(Region(Rect(-2, 3, 40, 50))), u16s({1, -2, 3, 40, 50}));
    Region l = unionOf({Rect(0, 0, 20, 10), Rect(0, 10, 10, 20)});
    EXPECT_EQ(wireOf(l), u16s({2, 0, 0, 20, 20, 0, 0, 20, 10, 0, 10, 10, 20}));
  }
  {
    // A 16-bit count cannot say 65536; writing the low bits would send garbage.
    std::vector<Rect> dots;
    for (int y = 0; y < 512; y += 2)
      for (int x = 0; x < 512; x += 2)
        dots.push_back(Rect(x, y, x + 1, y + 1));
    Region r(dots);
    ASSERT_EQ(r.numRects(), 65536);
    rdr::MemOutStream os;
    EXPECT_THROW(r.write(os), plat::Exception);
    EXPECT_EQ(os.length(), 0u);
  }
}

// Lists that break the banding rules pixman's operations rely on would make
// later unions and subtractions wrong if taken unchanged.
TEST(RegionTest, ReadingOddLists) {
  struct Case {
    const char* name;
    std::vector<uint8_t> wire;
    Boxes expected;
  };
  const Case cases[] = {
    {"the extents box alone", u16s({0, 1, 2, 3, 4}), {RgnRect(1, 2, 3, 4)}},
    {"inverted", u16s({1, 9, 9, 2, 2}), {}},
    {"overlapping boxes", u16s({2, 0, 0, 10, 10, 0, 0, 10, 10, 5, 5, 10, 10}), {RgnRect(0, 0, 10, 10)}},
    {"bands out of order", u16s({2, 0, 0, 4, 4, 0, 2, 4, 4, 0, 0, 4, 2}), {RgnRect(0, 0, 4, 4)}},
    {"touching in a band", u16s({2, 0, 0, 4, 1, 0, 0, 2, 1, 2, 0, 4, 1}), {RgnRect(0, 0, 4, 1)}},
    {"wrong extents", u16s({2, 0, 0, 99, 99, 0, 0, 1, 1, 3, 0, 4, 1}), {RgnRect(0, 0, 1, 1), RgnRect(3, 0, 4, 1)}},
    {"empty box", u16s({2, 0, 0, 4, 1, 0, 0, 0, 1, 3, 0, 4, 1}), {RgnRect(3, 0, 4, 1)}},
    {"identical adjacent bands", u16s({2, 0, 0, 4, 2, 0, 0, 4, 1, 0, 1, 4, 2}), {RgnRect(0, 0, 4, 2)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Region r = readInPieces(c.wire, 3, Region(Rect(0, 0, 1, 1)));
    EXPECT_EQ(boxesOf(r), c.expected);
    EXPECT_TRUE(r.isCanonical());
  }
}

} // namespace
} // namespace rfb
