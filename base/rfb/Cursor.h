#pragma once

// A cursor image: pixels in a managed buffer whose rectangle is placed in
// cursor coordinates, where the hotspot is the origin (a w x h image with
// hotspot hx,hy covers -hx,-hy to w-hx,h-hy). "Image coordinates" below are
// relative to the rectangle's top-left. Two kinds say which pixels show: a
// 1-bit mask (CursorWithMask) or an alpha channel (CursorWithAlpha).

#include "base/rfb/Colour.h"
#include "base/rfb/ManagedPixelBuffer.h"

#include <memory>
#include <optional>
#include <vector>

namespace rfb {

class CursorWithMask;
class CursorWithAlpha;

class Cursor {
public:
  virtual ~Cursor();
  Cursor(const Cursor&) = delete;
  Cursor& operator=(const Cursor&) = delete;

  // Draws the cursor onto `target` with the hotspot at `position`; clipped
  // to the target.
  virtual void render(WritablePixelBuffer& target, const Point& position) const = 0;
  // A new cursor of the same kind and picture, owned by the caller.
  virtual std::unique_ptr<Cursor> clone() const = 0;
  // Same kind and same visible picture (see each kind for what counts).
  virtual bool equals(const Cursor& other) const = 0;
  // The shown pixels as a bitmap of the mask's shape (bit set = colour 1) and
  // the two colours (red, green, blue in 0..255, alpha 255). Nothing when the
  // cursor shows more than two pixel values or cannot tell.
  virtual std::optional<std::vector<uint8_t>> getTwoColourBitmap(Colour* colour0,
                                                                 Colour* colour1) const = 0;
  // Shrinks the image to the shown pixels. The hotspot is first clamped onto
  // the image, and the result always reaches the hotspot.
  virtual void crop() = 0;
  // Makes `out` a copy of this cursor in out's pixel format.
  virtual void toMask(CursorWithMask& out) const = 0;
  virtual void toAlpha(CursorWithAlpha& out) const = 0;

  const PixelFormat& getPF() const { return pb_.getPF(); }
  const Rect& getRect() const { return pb_.getRect(); }
  ColourMap* getColourMap() const { return pb_.getColourMap(); }
  int width() const { return pb_.width(); }
  int height() const { return pb_.height(); }
  // In image coordinates.
  Point hotspot() const { return getRect().tl.negate(); }

  const ManagedPixelBuffer& pixels() const { return pb_; }
  ManagedPixelBuffer& pixels() { return pb_; }
  // Pixel value at image coordinates.
  uint32_t pixelAt(int x, int y) const;

protected:
  Cursor(const PixelFormat& pf, const Rect& rect, ColourMap* colourMap);

  // Moves and resizes the image; a new size clears the pixels.
  void setPixelRect(const Rect& rect);
  // Clamps the hotspot onto the image by moving the rectangle (the picture
  // stays). False for an image without pixels.
  bool clampHotspotOntoImage();
  // Grows `box` (cursor coordinates) to cover the pixel at image x,y.
  void includeImagePixel(Rect* box, int x, int y) const;
  // The bounding box (cursor coordinates) of the pixels for which
  // shown(x, y) holds, in image coordinates, together with the hotspot pixel;
  // the empty box at the hotspot when nothing is shown.
  template <typename Shown> Rect shownBounds(Shown shown) const;
  // Keeps only the part of the picture inside `box` (cursor coordinates,
  // within the rectangle) and makes it the rectangle.
  void cropPixelsTo(const Rect& box);

  ManagedPixelBuffer pb_;
};

template <typename Shown> Rect Cursor::shownBounds(Shown shown) const {
  Rect box;
  bool any = false;
  for (int y = 0; y < height(); y++) {
    for (int x = 0; x < width(); x++) {
      if (shown(x, y)) {
        includeImagePixel(&box, x, y);
        any = true;
      }
    }
  }
  // Growing from the empty box at the hotspot alone would leave the hotspot
  // just outside the result when everything shown lies above or left of it.
  if (any)
    includeImagePixel(&box, hotspot().x, hotspot().y);
  return box;
}

} // namespace rfb
