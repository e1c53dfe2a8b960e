#include "kwo-serve/TranslatedPixels.h"

#include "base/plat/Assert.h"
#include "base/rfb/FullFramePixelBuffer.h"

namespace kwoserve {

TranslatedPixels::TranslatedPixels(const rfb::PixelBuffer& source, const rfb::PixelFormat& pf)
  : rfb::PixelBuffer(pf, source.getRect(), nullptr), source_(source) {}

const uint8_t* TranslatedPixels::getPixelsR(const rfb::Rect& rect, int* stride) const {
  *stride = rect.width();
  if (rect.isEmpty())
    return nullptr;
  PLAT_ASSERT(getRect().encloses(rect));
  scratch_.resize(size_t(rect.area()) * bytesPerPixel());
  rfb::FullFramePixelBuffer out(getPF(), rect, nullptr, scratch_.data());
  out.translateRect(source_, rect.tl, rect);
  return scratch_.data();
}

} // namespace kwoserve
