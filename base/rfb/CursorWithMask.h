#pragma once

// A cursor whose shown pixels are given by a 1-bit mask: one row of
// ceil(width / 8) bytes per image row, the leftmost pixel in the most
// significant bit, a set bit meaning "shown". Pixels under clear bits carry
// no meaning.

#include "base/rfb/Cursor.h"

#include <algorithm>

namespace rfb {

class CursorWithMask : public Cursor {
public:
  // Pixels and mask start all zero (nothing shown).
  CursorWithMask(const PixelFormat& pf, const Rect& rect, ColourMap* colourMap = nullptr);

  // Copies the pixels whose mask bit is set. A target of another format gets
  // a converted copy (toMask) rendered instead.
  void render(WritablePixelBuffer& target, const Point& position) const override;
  std::unique_ptr<Cursor> clone() const override;
  // Another mask cursor with the same rectangle, mask bytes and pixel values
  // under set bits; formats are not compared.
  bool equals(const Cursor& other) const override;
  std::optional<std::vector<uint8_t>> getTwoColourBitmap(Colour* colour0,
                                                         Colour* colour1) const override;
  void crop() override;
  void toMask(CursorWithMask& out) const override;
  // Shown pixels become opaque, the rest fully transparent (all-zero).
  void toAlpha(CursorWithAlpha& out) const override;

  // Moves the rectangle; a new size clears pixels and mask. The mask storage
  // is reallocated only when it has to grow.
  void setRect(const Rect& rect);

  int maskRowBytes() const { return (std::max(width(), 0) + 7) / 8; }
  size_t maskLength() const { return size_t(maskRowBytes()) * std::max(height(), 0); }
  uint8_t* mask() { return mask_.data(); }
  const uint8_t* mask() const { return mask_.data(); }
  // Image coordinates, which must lie on the image.
  bool maskBit(int x, int y) const {
    return (mask_[y * maskRowBytes() + x / 8] >> (7 - x % 8)) & 1;
  }
  void setMaskBit(int x, int y, bool shown);

private:
  std::vector<uint8_t> mask_;
};

} // namespace rfb
