#pragma once

// An image with a pixel format, the rectangle it covers (in framebuffer
// coordinates; its top-left need not be 0,0) and, for colour-map formats, a
// colour map it points at but does not own. Pixel values are loaded as
// PixelFormat describes: 16/32-bit pixels in host order, 24-bit pixels lowest
// byte first; a buffer whose bpp is not 8, 16, 24 or 32 reads as 0.

#include "base/rfb/ImageGetter.h"
#include "base/rfb/PixelFormat.h"
#include "base/rfb/Rect.h"

#include <cstdint>

namespace plat {
class SharedMem;
} // namespace plat

namespace rfb {

class ColourMap;
class Region;

class PixelBuffer : public ImageGetter {
public:
  PixelBuffer(const PixelFormat& pf, const Rect& rect, ColourMap* colourMap);
  ~PixelBuffer() override;
  PixelBuffer(const PixelBuffer&) = delete;
  PixelBuffer& operator=(const PixelBuffer&) = delete;

  void getImage(void* dest, const Rect& rect, int destStride = 0) const override;

  virtual ColourMap* getColourMap() const;

  // Read-only pointer to the top-left pixel of `rect` and the row stride in
  // pixels. Null for an empty rectangle; `rect` must lie inside the buffer.
  virtual const uint8_t* getPixelsR(const Rect& rect, int* stride) const = 0;

  // Brings the pixels of `region` up to date from wherever they come from.
  // Buffers that are their own source (the default) have nothing to do.
  virtual void grabRegion(const Region& region);

  // The shared-memory segment holding the pixels, so that another process can
  // map them; null (the default) for buffers in private memory. Screen
  // buffers placed in a segment override this.
  virtual plat::SharedMem* getSharedMem();

  const PixelFormat& getPF() const { return format_; }
  const Rect& getRect() const { return rect_; }
  int width() const { return rect_.width(); }
  int height() const { return rect_.height(); }
  int bytesPerPixel() const { return format_.bpp / 8; }

  // One pixel value; 0 outside the buffer or for an unsupported bpp.
  uint32_t getPixel(int x, int y) const;

protected:
  PixelFormat format_;
  Rect rect_;
  ColourMap* colourMap_;
};

} // namespace rfb
