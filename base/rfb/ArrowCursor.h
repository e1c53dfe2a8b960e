#pragma once

// The built-in arrow, drawn from a size s: s pixels wide, 2s - 3 high,
// hotspot at the top-left pixel. Black outline, white inside.

#include "base/rfb/CursorWithMask.h"

namespace rfb {

class ArrowCursor : public CursorWithMask {
public:
  // Black is pixel value 0 for true colour; white has every channel at its
  // maximum. Colour-map formats use the map's entries nearest to black and
  // white (index 0 without a map).
  ArrowCursor(int size, const PixelFormat& pf, ColourMap* colourMap = nullptr);

  uint32_t blackPixel() const { return black_; }
  uint32_t whitePixel() const { return white_; }

private:
  void segment(int y, int x1, int x2, bool filled);
  void draw(int size);

  uint32_t black_;
  uint32_t white_;
};

} // namespace rfb
