#pragma once

// Another pixel buffer seen in a different format: each getPixelsR converts
// the rectangle asked for into scratch memory, which stays valid until the
// next call. For sources whose format LibVNCServer cannot serve, so that the
// frame copy can compare and keep pixels in a format it can.
//
// The source is not owned and must outlive this object.

#include "base/rfb/PixelBuffer.h"

#include <cstdint>
#include <vector>

namespace kwoserve {

class TranslatedPixels : public rfb::PixelBuffer {
public:
  TranslatedPixels(const rfb::PixelBuffer& source, const rfb::PixelFormat& pf);

  const uint8_t* getPixelsR(const rfb::Rect& rect, int* stride) const override;

private:
  const rfb::PixelBuffer& source_;
  mutable std::vector<uint8_t> scratch_;
};

} // namespace kwoserve
