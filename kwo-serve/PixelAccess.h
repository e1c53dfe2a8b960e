#pragma once

// Pixels as they lie in memory (1, 2, 3 or 4 bytes, host order as the
// framebuffer's native formats use) and conversions to LibVNCServer's pixel
// format description.

#include "base/rfb/PixelFormat.h"

#include <rfb/rfb.h>

#include <cstdint>

namespace kwoserve {

class PixelAccess {
public:
  // The value as loaded from memory (24-bit pixels lowest byte first).
  static uint32_t load(const uint8_t* p, int bytesPerPixel);
  static void store(uint8_t* p, int bytesPerPixel, uint32_t value);
  // The pixel value (as stored in memory) of an 8-bit-per-channel colour in
  // a true-colour LibVNCServer format.
  static uint32_t fromRgb(const rfbPixelFormat& pf, uint32_t r, uint32_t g, uint32_t b);

  // The LibVNCServer description of a format.
  static rfbPixelFormat toRfb(const rfb::PixelFormat& pf);
  // Whether LibVNCServer can serve pixels of this format straight from the
  // agent's buffer (8, 16 or 32 bits; colour maps only at 8 bits).
  static bool servable(const rfb::PixelFormat& pf);
  // The format used when a buffer must be translated: 32-bit, depth 24,
  // red in bits 16-23, blue in bits 0-7, host order.
  static rfb::PixelFormat translatedFormat();
};

} // namespace kwoserve
