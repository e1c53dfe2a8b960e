#include "base/rfb/WritablePixelBuffer.h"

#include "base/plat/Assert.h"
#include "base/rfb/PixelValue.h"
#include "base/rfb/Region.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace rfb {

namespace {

using pixelvalue::Access;

template <int Bytes> void fillRow(uint8_t* row, int width, uint32_t pixel) {
  for (int x = 0; x < width; x++)
    Access<Bytes>::store(row + x * Bytes, pixel);
}

// Byte steps between rows; a stride of 0 means rows of `width` pixels.
size_t rowStep(int stride, int width, int bytesPerPixel) {
  return size_t(stride ? stride : width) * bytesPerPixel;
}

} // namespace

const uint8_t* WritablePixelBuffer::getPixelsR(const Rect& rect, int* stride) const {
  // Reading through the writable accessor changes nothing.
  return const_cast<WritablePixelBuffer*>(this)->getPixelsRW(rect, stride);
}

void WritablePixelBuffer::setPixel(int x, int y, uint32_t pixel) {
  if (!rect_.contains(Point(x, y)) || !pixelvalue::supported(format_.bpp))
    return;
  int stride;
  pixelvalue::store(getPixelsRW(Rect(x, y, x + 1, y + 1), &stride), format_.bpp, pixel);
}

void WritablePixelBuffer::fillRect(const Rect& rect, uint32_t pixel) {
  const Rect r = rect.intersect(rect_);
  if (r.isEmpty() || !pixelvalue::supported(format_.bpp))
    return;
  int stride;
  uint8_t* data = getPixelsRW(r, &stride);
  const int bytes = bytesPerPixel();
  const size_t step = rowStep(stride, r.width(), bytes);
  const size_t rowBytes = size_t(r.width()) * bytes;
  switch (bytes) {
  case 1: std::memset(data, int(pixel & 0xff), rowBytes); break;
  case 2: fillRow<2>(data, r.width(), pixel); break;
  case 3: fillRow<3>(data, r.width(), pixel); break;
  case 4: fillRow<4>(data, r.width(), pixel); break;
  }
  for (int y = 1; y < r.height(); y++)
    std::memcpy(data + y * step, data, rowBytes);
}

void WritablePixelBuffer::copyRectFrom(const Rect& rect, const void* src, int srcStride) {
  const Rect r = rect.intersect(rect_);
  const int bytes = bytesPerPixel();
  if (r.isEmpty() || bytes == 0)
    return;
  const size_t srcStep = rowStep(srcStride, rect.width(), bytes);
  const uint8_t* from = static_cast<const uint8_t*>(src) + size_t(r.tl.y - rect.tl.y) * srcStep +
                        size_t(r.tl.x - rect.tl.x) * bytes;
  int stride;
  uint8_t* to = getPixelsRW(r, &stride);
  const size_t dstStep = rowStep(stride, r.width(), bytes);
  pixelvalue::copyRows(to, dstStep, from, srcStep, size_t(r.width()) * bytes, r.height());
}

void WritablePixelBuffer::copyRect(const Region& region, const Point& offset) {
  const int bytes = bytesPerPixel();
  if (offset == Point(0, 0) || bytes == 0)
    return;
  // Moving down (or, within rows, right) reads pixels that later rectangles
  // and rows overwrite unless those are visited first.
  const bool downwards = offset.y > 0;
  const bool topToBottom = !(downwards || (offset.y == 0 && offset.x > 0));
  const bool leftToRight = offset.x <= 0;
  std::vector<Rect> rects;
  region.get_rects(&rects, leftToRight, topToBottom);
  // Destinations whose source (destination - offset) lies in the buffer.
  const Rect valid = rect_.intersect(rect_.translate(offset));
  for (const Rect& rect : rects) {
    const Rect dest = rect.intersect(valid);
    if (dest.isEmpty())
      continue;
    const Rect src = dest.translate(offset.negate());
    int dstStride, srcStride;
    uint8_t* to = getPixelsRW(dest, &dstStride);
    const uint8_t* from = getPixelsRW(src, &srcStride);
    const size_t dstStep = rowStep(dstStride, dest.width(), bytes);
    const size_t srcStep = rowStep(srcStride, dest.width(), bytes);
    const size_t rowBytes = size_t(dest.width()) * bytes;
    for (int i = 0; i < dest.height(); i++) {
      const int y = downwards ? dest.height() - 1 - i : i;
      std::memmove(to + y * dstStep, from + y * srcStep, rowBytes);
    }
  }
}

void WritablePixelBuffer::copyRegionFrom(const PixelBuffer& source, const Point& offset,
                                         const Region& region, int tileWidth, int tileHeight) {
  PLAT_ASSERT(&source != this);
  PLAT_ASSERT(source.getPF() == format_);
  PLAT_ASSERT(tileWidth > 0 && tileHeight > 0);
  const int bytes = bytesPerPixel();
  if (bytes == 0)
    return;
  // Source pixels that exist and whose destination lies in this buffer.
  const Rect limit = source.getRect().intersect(rect_.translate(offset.negate()));
  for (const RgnRect& box : region.boxes()) {
    const Rect r = Rect(box).intersect(limit);
    if (r.isEmpty())
      continue;
    for (int ty = r.tl.y; ty < r.br.y; ty += tileHeight) {
      for (int tx = r.tl.x; tx < r.br.x; tx += tileWidth) {
        const Rect tile(tx, ty, std::min(r.br.x, tx + tileWidth),
                        std::min(r.br.y, ty + tileHeight));
        int srcStride, dstStride;
        const uint8_t* from = source.getPixelsR(tile, &srcStride);
        uint8_t* to = getPixelsRW(tile.translate(offset), &dstStride);
        const size_t srcStep = rowStep(srcStride, tile.width(), bytes);
        const size_t dstStep = rowStep(dstStride, tile.width(), bytes);
        pixelvalue::copyRows(to, dstStep, from, srcStep, size_t(tile.width()) * bytes,
                             tile.height());
      }
    }
  }
}

void WritablePixelBuffer::translateRect(const PixelBuffer& source, const Point& sourcePoint,
                                        const Rect& destRect, Blend blend) {
  const Point toSource = sourcePoint - destRect.tl;
  const Rect dest =
      destRect.intersect(rect_).intersect(source.getRect().translate(toSource.negate()));
  if (dest.isEmpty())
    return;
  const Rect src = dest.translate(toSource);
  PixelTranslator translator(source.getPF(), source.getColourMap(), format_, colourMap_, blend);

  int srcStride;
  const uint8_t* from = source.getPixelsR(src, &srcStride);
  size_t srcStep = rowStep(srcStride, src.width(), source.bytesPerPixel());
  // Converting pixel by pixel within one buffer would read pixels already
  // written; work from a snapshot of the source instead.
  std::vector<uint8_t> snapshot;
  const size_t srcRowBytes = size_t(src.width()) * source.bytesPerPixel();
  if (&source == this && src != dest && src.overlaps(dest) && srcRowBytes > 0) {
    const size_t rowBytes = srcRowBytes;
    snapshot.resize(rowBytes * src.height());
    pixelvalue::copyRows(snapshot.data(), rowBytes, from, srcStep, rowBytes, src.height());
    from = snapshot.data();
    srcStep = rowBytes;
  }
  int dstStride;
  uint8_t* to = getPixelsRW(dest, &dstStride);
  translator.translate(from, srcStep, to, rowStep(dstStride, dest.width(), bytesPerPixel()),
                       dest.width(), dest.height());
}

} // namespace rfb
