#pragma once

// A cursor whose transparency is the alpha channel of its pixel format;
// pixels are premultiplied by alpha. A format without alpha shows every
// pixel. The format is made little-endian where that is possible.

#include "base/rfb/Cursor.h"

namespace rfb {

class CursorWithAlpha : public Cursor {
public:
  // A derived mask shows pixels whose alpha (scaled to 0..255) exceeds this.
  static constexpr int alphaThreshold = 128;

  // All pixels zero (fully transparent); the caller fills them in.
  CursorWithAlpha(const PixelFormat& pf, const Rect& rect);

  // A cursor in the 32-bit premultiplied ARGB format from a desktop cursor
  // image: width x height values in row order, each truncated to its low 32
  // bits (alpha in the top byte), hotspot xhot,yhot in image coordinates.
  // Null when the image cannot be placed in 16-bit coordinates.
  static std::unique_ptr<CursorWithAlpha> fromImage(int width, int height, int xhot, int yhot,
                                                    const unsigned long* pixels);

  // Composites every pixel with premultiplied "over".
  void render(WritablePixelBuffer& target, const Point& position) const override;
  std::unique_ptr<Cursor> clone() const override;
  // Another alpha cursor with an equal format, the same rectangle and the
  // same pixel bytes.
  bool equals(const Cursor& other) const override;
  // Always nothing: an alpha cursor is not a two-colour picture.
  std::optional<std::vector<uint8_t>> getTwoColourBitmap(Colour* colour0,
                                                         Colour* colour1) const override;
  void crop() override;
  void toMask(CursorWithMask& out) const override;
  void toAlpha(CursorWithAlpha& out) const override;

  // Moves the rectangle; a new size clears the pixels.
  void setRect(const Rect& rect);

  // Alpha of the pixel at image coordinates, scaled to 0..255 (255 without
  // an alpha channel).
  uint32_t alphaAt(int x, int y) const;

private:
  // Whether the pixel at image coordinates shows at all (alpha not zero).
  bool isShown(int x, int y) const;
};

} // namespace rfb
