#include "base/rfb/ArrowCursor.h"
#include "base/rfb/CursorWithAlpha.h"
#include "base/rfb/CursorWithMask.h"

#include "base/rfb/tests/SimpleColourMap.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using rfb::ArrowCursor;
using rfb::CursorWithAlpha;
using rfb::CursorWithMask;
using rfb::PixelFormat;
using rfb::Point;
using rfb::Rect;

// The arrow at size 12: '#' black, 'o' white, '.' not shown.
const char* const arrow12[] = {
    "#...........", "##..........", "#o#.........", "#oo#........", "#ooo#.......", "#oooo#......",
    "#ooooo#.....", "#oooooo#....", "#ooooooo#...", "#oooooooo#..", "#ooooooooo#.", "#oooooo#####",
    "#ooo#oo#....", "#oo##oo#....", "#o#..#oo#...", "##...#oo#...", "#.....#oo#..", "......#oo#..",
    ".......#oo#.", ".......#oo#.", "........##..",
};

// The picture of a mask cursor: '.' where not shown, else symbol(pixel).
template <class F>
std::vector<std::string> rowsOf(const CursorWithMask& c, F symbol) {
  std::vector<std::string> rows(size_t(c.height()));
  for (int y = 0; y < c.height(); y++)
    for (int x = 0; x < c.width(); x++)
      rows[size_t(y)] += c.maskBit(x, y) ? symbol(c.pixelAt(x, y)) : '.';
  return rows;
}

// In the symbols of arrow12.
std::vector<std::string> picture(const CursorWithMask& c, uint32_t black, uint32_t white) {
  return rowsOf(c, [&](uint32_t p) { return p == black ? '#' : p == white ? 'o' : '?'; });
}

// A mask cursor from rows of '.', and digits for shown pixel values.
std::unique_ptr<CursorWithMask> maskCursor(const std::vector<std::string>& rows, Point hotspot,
                                           const PixelFormat& pf = PixelFormat::rgb888()) {
  const int w = int(rows[0].size()), h = int(rows.size());
  auto c = std::make_unique<CursorWithMask>(
      pf, Rect(-hotspot.x, -hotspot.y, w - hotspot.x, h - hotspot.y));
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++)
      if (rows[y][x] != '.') {
        c->pixels().setPixel(x - hotspot.x, y - hotspot.y, uint32_t(rows[y][x] - '0') * 0x10101);
        c->setMaskBit(x, y, true);
      }
  return c;
}

// In the digits of maskCursor().
std::vector<std::string> shownRows(const CursorWithMask& c) {
  return rowsOf(c, [](uint32_t p) { return char('0' + p / 0x10101); });
}

// Small sizes used to draw outside the image.
TEST(ArrowCursor, EverySizeStaysOnItsImageAndTwelveIsTheTable) {
  const std::vector<std::string> expected12(std::begin(arrow12), std::end(arrow12));
  for (int s = -1; s <= 40; s++) {
    SCOPED_TRACE(s);
    ArrowCursor arrow(s, PixelFormat::rgb888());
    // The hotspot is the tip, at 0,0.
    EXPECT_EQ(arrow.getRect(), Rect(0, 0, std::max(s, 0), std::max(2 * s - 3, 0)));
    for (int y = 0; y < arrow.height(); y++)
      for (int x = 0; x < arrow.width(); x++) {
        uint32_t p = arrow.pixelAt(x, y);
        if (arrow.maskBit(x, y))
          EXPECT_TRUE(p == arrow.blackPixel() || p == arrow.whitePixel());
        else
          EXPECT_EQ(p, 0u);
      }
    if (s >= 5) {
      // The tip is the hotspot and is shown.
      EXPECT_TRUE(arrow.maskBit(0, 0));
    }
    if (s == 12) {
      EXPECT_EQ(picture(arrow, 0, 0xffffff), expected12);
    }
  }
  // With a colour map: the closest entries.
  rfb::test::SimpleColourMap map({{255, 255, 255, 255}, {10, 10, 10, 255}, {0, 0, 255, 255}});
  EXPECT_EQ(picture(ArrowCursor(12, PixelFormat::pal8(), &map), 1, 0), expected12);
}

// Used to end one row short, leaving the hotspot off the cropped image.
TEST(CursorCrop, KeepsAHotspotBelowRightOfTheShownPixels) {
  auto cursor = maskCursor({"1.....", "......", "......"}, Point(4, 2));
  cursor->crop();
  EXPECT_EQ(cursor->getRect(), Rect(-4, -2, 1, 1));
  EXPECT_EQ(shownRows(*cursor), std::vector<std::string>({"1....", ".....", "....."}));
}

TEST(CursorConversion, MaskToAlpha) {
  CursorWithAlpha a(PixelFormat::argb8888(), Rect());
  maskCursor({"1.", ".2"}, Point(1, 0))->toAlpha(a);
  EXPECT_EQ(a.getRect(), Rect(-1, 0, 1, 2));
  EXPECT_EQ(a.pixelAt(0, 0), 0xff010101u);
  EXPECT_EQ(a.pixelAt(1, 0), 0u);
  EXPECT_EQ(a.pixelAt(1, 1), 0xff020202u);
  // A mask cursor whose own format has a transparent alpha still comes out opaque.
  CursorWithMask withAlpha(PixelFormat::argb8888(), Rect(0, 0, 1, 1));
  withAlpha.pixels().setPixel(0, 0, 0x00123456);
  withAlpha.setMaskBit(0, 0, true);
  withAlpha.toAlpha(a);
  EXPECT_EQ(a.pixelAt(0, 0), 0xff123456u);
}

TEST(CursorWithAlpha, FromImage) {
  const unsigned long image[] = {0x1ff000000ul, 0x80112233ul, 0x00000000ul,
                                 0x01020304ul,  0xfffffffful, 0x7f7f7f7ful};
  auto c = CursorWithAlpha::fromImage(3, 2, 1, 1, image);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->getRect(), Rect(-1, -1, 2, 1));
  EXPECT_EQ(c->getPF(), PixelFormat::argb8888());
  EXPECT_EQ(c->pixelAt(0, 0), 0xff000000u); // truncated to 32 bits
  EXPECT_EQ(c->pixelAt(1, 0), 0x80112233u);
  EXPECT_EQ(c->pixelAt(2, 1), 0x7f7f7f7fu);
  // Sizes that cannot be placed in 16-bit coordinates are refused, not fatal.
  EXPECT_FALSE(CursorWithAlpha::fromImage(40000, 1, 0, 0, image));
  EXPECT_FALSE(CursorWithAlpha::fromImage(1, 1, 40000, 0, image));
  EXPECT_FALSE(CursorWithAlpha::fromImage(-1, 1, 0, 0, image));
}

} // namespace
