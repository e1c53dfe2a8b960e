#include "kwo-serve/SharedPixels.h"

#include "base/plat/Assert.h"

namespace kwoserve {

SharedPixels::SharedPixels(const rfb::PixelFormat& pf, int width, int height,
                           const uint8_t* pixels, int stride)
  : rfb::PixelBuffer(pf, rfb::Rect(0, 0, width, height), nullptr), pixels_(pixels),
    stride_(stride) {}

const uint8_t* SharedPixels::getPixelsR(const rfb::Rect& rect, int* stride) const {
  *stride = stride_;
  if (rect.isEmpty())
    return nullptr;
  PLAT_ASSERT(getRect().encloses(rect));
  return pixels_ + (size_t(rect.tl.y) * size_t(stride_) + size_t(rect.tl.x)) * bytesPerPixel();
}

} // namespace kwoserve
