#pragma once

// A pixel buffer held in one block of memory that it does not own. Pixel
// (x, y) is at byte ((y - rect.y1) * stride + (x - rect.x1)) * bpp/8, with the
// stride in pixels.

#include "base/rfb/WritablePixelBuffer.h"

namespace rfb {

class FullFramePixelBuffer : public WritablePixelBuffer {
public:
  // A stride of 0 means the rectangle's width.
  FullFramePixelBuffer(const PixelFormat& pf, const Rect& rect, ColourMap* colourMap, uint8_t* data,
                       int stride = 0);

  // Null for an empty rectangle. A non-empty rectangle outside the buffer is
  // a programming error that ends the process.
  uint8_t* getPixelsRW(const Rect& rect, int* stride) override;

  uint8_t* data() const { return data_; }
  int getStride() const { return stride_; }

protected:
  uint8_t* data_;
  int stride_;
};

} // namespace rfb
