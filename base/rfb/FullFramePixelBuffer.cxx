#include "base/rfb/FullFramePixelBuffer.h"

#include "base/plat/Assert.h"
#include "base/plat/LogSrc.h"

namespace rfb {

namespace {

plat::LogSrc vlog("FullFramePixelBuffer");

} // namespace

FullFramePixelBuffer::FullFramePixelBuffer(const PixelFormat& pf, const Rect& rect,
                                           ColourMap* colourMap, uint8_t* data, int stride)
    : WritablePixelBuffer(pf, rect, colourMap), data_(data),
      stride_(stride ? stride : rect.width()) {}

uint8_t* FullFramePixelBuffer::getPixelsRW(const Rect& r, int* stride) {
  if (r.isEmpty())
    return nullptr;
  const Rect& rect = rect_;
  if (!rect.encloses(r))
    vlog.error("getPixelsRW out of bounds: %s outside %s", r.print().c_str(), rect.print().c_str());
  PLAT_ASSERT(rect.encloses(r));
  *stride = stride_;
  const size_t offset =
      (size_t(r.tl.y - rect.tl.y) * size_t(stride_) + size_t(r.tl.x - rect.tl.x)) *
      size_t(bytesPerPixel());
  return data_ + offset;
}

} // namespace rfb
