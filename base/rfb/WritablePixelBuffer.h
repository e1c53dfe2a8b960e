#pragma once

// A pixel buffer whose pixels can be written. The drawing operations here
// work through getPixelsRW, once per rectangle or row band, never per pixel,
// and clip to the buffer: parts of a rectangle outside it are ignored.

#include "base/rfb/PixelBuffer.h"
#include "base/rfb/PixelTranslator.h"
#include "base/rfb/Point.h"

namespace rfb {

class WritablePixelBuffer : public PixelBuffer {
public:
  using PixelBuffer::PixelBuffer;

  // Implemented through getPixelsRW.
  const uint8_t* getPixelsR(const Rect& rect, int* stride) const override;

  // Writable pointer to the top-left pixel of `rect`, stride in pixels. Null
  // for an empty rectangle; `rect` must lie inside the buffer.
  virtual uint8_t* getPixelsRW(const Rect& rect, int* stride) = 0;

  // One pixel; nothing outside the buffer or for an unsupported bpp.
  void setPixel(int x, int y, uint32_t pixel);

  // Fills the part of `rect` inside the buffer with one pixel value.
  void fillRect(const Rect& rect, uint32_t pixel);

  // Copies caller memory into the part of `rect` inside the buffer. `src`
  // holds the pixel at rect's top-left; its rows are `srcStride` pixels apart
  // (0: rect's width). The memory is in this buffer's format.
  void copyRectFrom(const Rect& rect, const void* src, int srcStride = 0);

  // Moves pixels inside the buffer: every destination pixel of `region`
  // receives the pixel at destination - offset. Parts whose source or
  // destination lies outside the buffer are skipped. Rectangles and rows are
  // visited so that no source pixel is overwritten before it is read.
  void copyRect(const Region& region, const Point& offset);

  // For each rectangle of `region` (in `source` coordinates, region order),
  // copies the source's pixels to the same place plus `offset` here, fetching
  // them in tiles of tileWidth x tileHeight. The formats must be equal and
  // `source` must not be this buffer (use copyRect).
  void copyRegionFrom(const PixelBuffer& source, const Point& offset, const Region& region,
                      int tileWidth = 2048, int tileHeight = 16);

  // Converts the pixels of `source` into `destRect` of this buffer:
  // destRect's top-left receives the source pixel at `sourcePoint`. Clipped
  // to both buffers. Equal formats (and nothing to composite) copy bytes;
  // otherwise every pixel is decoded, blended with the destination and
  // encoded. `source` may be this buffer.
  void translateRect(const PixelBuffer& source, const Point& sourcePoint, const Rect& destRect,
                     Blend blend = Blend::copy);
};

} // namespace rfb
