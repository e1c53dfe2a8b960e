#include "base/rfb/PixelBuffer.h"

#include "base/rfb/PixelValue.h"

namespace rfb {

PixelBuffer::PixelBuffer(const PixelFormat& pf, const Rect& rect, ColourMap* colourMap)
    : format_(pf), rect_(rect), colourMap_(colourMap) {}

PixelBuffer::~PixelBuffer() = default;

void PixelBuffer::getImage(void* dest, const Rect& rect, int destStride) const {
  int srcStride = 0;
  const uint8_t* src = getPixelsR(rect, &srcStride);
  if (!src)
    return;
  const size_t rowBytes = size_t(rect.width()) * bytesPerPixel();
  const size_t srcStep = size_t(srcStride ? srcStride : rect.width()) * bytesPerPixel();
  const size_t destStep = size_t(destStride ? destStride : rect.width()) * bytesPerPixel();
  pixelvalue::copyRows(static_cast<uint8_t*>(dest), destStep, src, srcStep, rowBytes,
                       rect.height());
}

ColourMap* PixelBuffer::getColourMap() const { return colourMap_; }

void PixelBuffer::grabRegion(const Region&) {}

plat::SharedMem* PixelBuffer::getSharedMem() { return nullptr; }

uint32_t PixelBuffer::getPixel(int x, int y) const {
  Rect one(x, y, x + 1, y + 1);
  if (!rect_.encloses(one) || !pixelvalue::supported(format_.bpp))
    return 0;
  int stride;
  return pixelvalue::load(getPixelsR(one, &stride), format_.bpp);
}

} // namespace rfb
