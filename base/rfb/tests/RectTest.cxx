#include "base/rfb/Rect.h"

#include <climits>

#include <gtest/gtest.h>

#include "base/rfb/RgnRect.h"

namespace rfb {
namespace {

TEST(RectTest, GeometryEdgesAndRegionBoxes) {
  EXPECT_EQ(Rect(0, 0, 100000, 100000).area(), int64_t(10000000000)); // no 32-bit overflow
  EXPECT_EQ(Rect(9, 9, 3, 3).area(), 0);                               // inverted: no negative area
  EXPECT_FALSE(Rect(0, 0, 10, 10).overlaps(Rect(10, 0, 20, 10))); // touching is not overlapping
  EXPECT_FALSE(Rect(0, 0, 10, 10).contains(Point(10, 9))); // bottom-right is exclusive
  EXPECT_EQ(Rect(0, 0, 5, 5).unionBoundary(Rect(50, 50, 50, 60)), Rect(0, 0, 5, 5));
  EXPECT_EQ(Rect(7, 7, 7, 7).unionBoundary(Rect(1, 1, 2, 2)), Rect(1, 1, 2, 2));
  // Two empty rectangles at different places are different rectangles.
  EXPECT_NE(Rect(0, 0, 0, 0), Rect(1, 1, 1, 1));
  EXPECT_EQ(Rect(-3, 4, 17, 24).print(), "-3,4 to 17,24");
  EXPECT_EQ(Rect(-3, 4, 17, 24).printWH(), "20x20 at -3,4");
  // Region boxes clamp to 16 bits: inside the range the round trip is exact;
  // outside it is not (pixel buffers assert on exactly this).
  EXPECT_EQ(RgnRect(Rect(INT_MIN, INT_MIN, INT_MAX, INT_MAX)), RgnRect(-32768, -32768, 32767, 32767));
  Rect inside(-32768, -5, 32767, 32767);
  EXPECT_EQ(Rect(RgnRect(inside)), inside);
  EXPECT_NE(Rect(RgnRect(Rect(0, 0, 32768, 10))), Rect(0, 0, 32768, 10));
}

} // namespace
} // namespace rfb
