#pragma once

// The agent's pixels as kwo-serve sees them: a pixel buffer over memory that
// it neither owns nor writes (the read-only mapping of the agent's segment).
// Pixel (x, y) lies at ((y * stride) + x) * bpp/8 bytes from `pixels`, the
// stride in pixels. The memory must stay mapped for the object's life.

#include "base/rfb/PixelBuffer.h"

#include <cstdint>

namespace kwoserve {

class SharedPixels : public rfb::PixelBuffer {
public:
  SharedPixels(const rfb::PixelFormat& pf, int width, int height, const uint8_t* pixels,
               int stride);

  // `rect` must lie inside the buffer; null for an empty one.
  const uint8_t* getPixelsR(const rfb::Rect& rect, int* stride) const override;

private:
  const uint8_t* pixels_;
  int stride_;
};

} // namespace kwoserve
