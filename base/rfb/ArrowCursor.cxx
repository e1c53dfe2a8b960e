#include "base/rfb/ArrowCursor.h"

#include <algorithm>

namespace rfb {

namespace {

Rect arrowRect(int size) { return Rect(0, 0, std::max(size, 0), std::max(2 * size - 3, 0)); }

} // namespace

ArrowCursor::ArrowCursor(int size, const PixelFormat& pf, ColourMap* colourMap)
    : CursorWithMask(pf, arrowRect(size), colourMap),
      black_(pf.trueColour ? 0 : pf.pixelFromRGBA(Colour{0, 0, 0, 255}, colourMap)),
      white_(pf.pixelFromRGBA(Colour{255, 255, 255, 255}, colourMap)) {
  draw(size);
}

// Sets x1 and x2 black, the pixels between black or white, and shows x1..x2.
// The drawing steps reach outside the image for sizes below 5; those parts
// are dropped.
void ArrowCursor::segment(int y, int x1, int x2, bool filled) {
  if (y < 0 || y >= height())
    return;
  const int from = std::max(x1, 0);
  const int to = std::min(x2, width() - 1);
  for (int x = from; x <= to; x++) {
    const bool edge = x == x1 || x == x2;
    pixels().setPixel(x, y, edge || filled ? black_ : white_);
    setMaskBit(x, y, true);
  }
}

void ArrowCursor::draw(int s) {
  const int h = s / 2;
  const int k = h - 1;
  const int m = k / 2 + 1;
  for (int y = 0; y < s; y++)
    segment(y, 0, y, false);
  segment(s - 1, s - k, s - 1, true);
  for (int i = 0; i < k; i++)
    segment(s + k - 1 - i, 0, i, false);
  for (int i = 0; i <= s - 5; i++) {
    const int a = i / 2 + (s - k - m);
    segment(s + i, a < (h - 3) - i ? 0 : a, i / 2 + (s - k), false);
  }
  segment(2 * s - 4, s - m - 1, s - 3, true);
}

} // namespace rfb
