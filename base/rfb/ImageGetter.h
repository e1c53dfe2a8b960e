#pragma once

// Anything that can hand out the pixels of a rectangle.

#include "base/rfb/Rect.h"

namespace rfb {

class ImageGetter {
public:
  virtual ~ImageGetter() = default;

  // Copies `rect` into `dest`, whose rows are `destStride` pixels apart
  // (0: the rectangle's width). The rectangle must lie inside the image.
  virtual void getImage(void* dest, const Rect& rect, int destStride = 0) const = 0;
};

} // namespace rfb
