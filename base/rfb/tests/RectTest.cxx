#include "base/rfb/Rect.h"

#include <climits>

#include <gtest/gtest.h>

#include "base/rfb/RgnRect.h"

namespace rfb {
namespace {

TEST(RectTest, Geometry) {
  {
    struct Case {
      Rect r;
      int w, h;
      int64_t area;
      bool empty;
    };
    const Case cases[] = {
      {Rect(0, 0, 10, 5), 10, 5, 50, false},
      {Rect(-5, -5, 5, 5), 10, 10, 100, false},
      {Rect(3, 3, 3, 9), 0, 6, 0, true},
      {Rect(3, 3, 9, 3), 6, 0, 0, true},
      {Rect(9, 9, 3, 3), -6, -6, 0, true}, // inverted: empty, and no negative area
      {Rect::fromXYWH(7, 8, 2, 3), 2, 3, 6, false},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.r.print());
      EXPECT_EQ(c.r.width(), c.w);
      EXPECT_EQ(c.r.height(), c.h);
      EXPECT_EQ(c.r.area(), c.area);
      EXPECT_EQ(c.r.isEmpty(), c.empty);
    }
  }
  {
    Rect r(0, 0, 100000, 100000);
    EXPECT_EQ(r.area(), int64_t(10000000000));
  }
  {
    struct Case {
      Rect a, b, expected;
      bool empty;
    };
    const Case cases[] = {
      {Rect(0, 0, 10, 10), Rect(5, 5, 15, 15), Rect(5, 5, 10, 10), false},
      {Rect(0, 0, 10, 10), Rect(2, 3, 4, 5), Rect(2, 3, 4, 5), false},
      {Rect(0, 0, 10, 10), Rect(10, 0, 20, 10), Rect(10, 0, 10, 10), true},
      {Rect(0, 0, 10, 10), Rect(20, 20, 30, 30), Rect(20, 20, 10, 10), true},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.a.print() + " & " + c.b.print());
      EXPECT_EQ(c.a.intersect(c.b), c.expected);
      EXPECT_EQ(c.b.intersect(c.a), c.expected);
      EXPECT_EQ(c.a.intersect(c.b).isEmpty(), c.empty);
      EXPECT_EQ(c.a.overlaps(c.b), !c.empty);
    }
  }
  {
    Rect outer(0, 0, 10, 10);
    EXPECT_TRUE(outer.encloses(outer));
    EXPECT_TRUE(outer.encloses(Rect(2, 2, 10, 10)));
    EXPECT_FALSE(outer.encloses(Rect(2, 2, 11, 10)));
    EXPECT_FALSE(outer.encloses(Rect(-1, 0, 5, 5)));
    EXPECT_FALSE(Rect(2, 2, 5, 5).encloses(outer));
    EXPECT_TRUE(outer.contains(Point(0, 0)));
    EXPECT_TRUE(outer.contains(Point(9, 9)));
    EXPECT_FALSE(outer.contains(Point(10, 9))); // bottom-right is exclusive
    EXPECT_FALSE(outer.contains(Point(9, 10)));
  }
  {
    EXPECT_EQ(Rect(1, 2, 3, 4).translate(Point(10, -20)), Rect(11, -18, 13, -16));
    EXPECT_EQ(Rect(0, 0, 5, 5).unionBoundary(Rect(10, -3, 12, 2)), Rect(0, -3, 12, 5));
    EXPECT_EQ(Rect(0, 0, 5, 5).unionBoundary(Rect(50, 50, 50, 60)), Rect(0, 0, 5, 5));
    EXPECT_EQ(Rect(7, 7, 7, 7).unionBoundary(Rect(1, 1, 2, 2)), Rect(1, 1, 2, 2));
  }
}

TEST(RectTest, EqualityTextAndRegionBoxes) {
  {
    EXPECT_EQ(Rect(1, 2, 3, 4), Rect(Point(1, 2), Point(3, 4)));
    EXPECT_NE(Rect(1, 2, 3, 4), Rect(1, 2, 3, 5));
    // Two empty rectangles at different places are different rectangles.
    EXPECT_NE(Rect(0, 0, 0, 0), Rect(1, 1, 1, 1));
  }
  {
    Rect r(-3, 4, 17, 24);
    EXPECT_EQ(r.print(), "-3,4 to 17,24");
    EXPECT_EQ(r.printWH(), "20x20 at -3,4");
    EXPECT_EQ(Rect().print(), "0,0 to 0,0");
    EXPECT_EQ(Rect().printWH(), "0x0 at 0,0");
  }
  {
    struct Case {
      Rect in;
      RgnRect out;
    };
    const Case cases[] = {
      {Rect(-40000, 0, 100, 100), RgnRect(-32768, 0, 100, 100)},
      {Rect(0, -32768, 32767, 5), RgnRect(0, -32768, 32767, 5)},
      {Rect(INT_MIN, INT_MIN, INT_MAX, INT_MAX), RgnRect(-32768, -32768, 32767, 32767)},
      {Rect(40000, 0, 50000, 10), RgnRect(32767, 0, 32767, 10)},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.in.print());
      EXPECT_EQ(RgnRect(c.in), c.out);
    }
    // A rectangle inside the 16-bit range survives the round trip unchanged;
    // one outside does not (pixel buffers assert on exactly this).
    Rect inside(-32768, -5, 32767, 32767);
    EXPECT_EQ(Rect(RgnRect(inside)), inside);
    Rect outside(0, 0, 32768, 10);
    EXPECT_NE(Rect(RgnRect(outside)), outside);
    EXPECT_TRUE(RgnRect(Rect(40000, 0, 50000, 10)).isEmpty());
  }
}

} // namespace
} // namespace rfb
