#include "kwo-serve/FrameCopy.h"

#include "base/rfb/ManagedPixelBuffer.h"
#include "kwo-serve/PixelAccess.h"
#include "kwo-serve/SharedPixels.h"
#include "kwo-serve/TranslatedPixels.h"

#include <algorithm>

namespace kwoserve {

namespace {

rfb::PixelFormat servedFormat(const rfb::PixelFormat& pf) {
  return PixelAccess::servable(pf) ? pf : PixelAccess::translatedFormat();
}

} // namespace

FrameCopy::FrameCopy() = default;
FrameCopy::~FrameCopy() = default;

void FrameCopy::showBlack(int width, int height, const rfb::PixelFormat& pf) {
  comparer_.setPB(nullptr); // empties the copy
  translated_.reset();
  source_.reset();
  rfb::ManagedPixelBuffer& copy = comparer_.getCopy();
  copy.setPF(servedFormat(pf));
  copy.setSize(std::max(width, 1), std::max(height, 1)); // all 0 from empty
}

void FrameCopy::follow(const uint8_t* pixels, int width, int height, uint32_t stride,
                       const rfb::PixelFormat& pf) {
  auto source = std::make_unique<SharedPixels>(pf, width, height, pixels, int(stride));
  std::unique_ptr<rfb::PixelBuffer> translated;
  if (!PixelAccess::servable(pf))
    translated = std::make_unique<TranslatedPixels>(*source, servedFormat(pf));
  // The copy keeps its memory when format and size stay.
  comparer_.setPB(translated ? translated.get() : source.get());
  translated_ = std::move(translated);
  source_ = std::move(source);
  comparer_.syncFormatAndRect();
  comparer_.copyFromSource(rfb::Region(comparer_.getPB()->getRect()));
}

FrameCopy::Changes FrameCopy::update(const rfb::Region& copied, const rfb::Point& offset,
                                     const rfb::Region& changed) {
  Changes changes{copied, offset, changed};
  if (!source_)
    return {};
  comparer_.compare(changes);
  return changes;
}

} // namespace kwoserve
