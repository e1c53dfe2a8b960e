#include "kwo-serve/PixelAccess.h"

#include <bit>
#include <cstring>

namespace kwoserve {

uint32_t PixelAccess::load(const uint8_t* p, int bytesPerPixel) {
  switch (bytesPerPixel) {
  case 1: return p[0];
  case 2: {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
  }
  case 3: return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16;
  default: {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
  }
  }
}

void PixelAccess::store(uint8_t* p, int bytesPerPixel, uint32_t value) {
  switch (bytesPerPixel) {
  case 1: p[0] = uint8_t(value); break;
  case 2: {
    uint16_t v = uint16_t(value);
    std::memcpy(p, &v, 2);
    break;
  }
  case 3:
    p[0] = uint8_t(value);
    p[1] = uint8_t(value >> 8);
    p[2] = uint8_t(value >> 16);
    break;
  default: std::memcpy(p, &value, 4); break;
  }
}

uint32_t PixelAccess::fromRgb(const rfbPixelFormat& pf, uint32_t r, uint32_t g, uint32_t b) {
  auto scale = [](uint32_t c, uint32_t max) { return (c * max + 127) / 255; };
  uint32_t value = scale(r, pf.redMax) << pf.redShift | scale(g, pf.greenMax) << pf.greenShift |
                   scale(b, pf.blueMax) << pf.blueShift;
  bool hostBig = std::endian::native == std::endian::big;
  if (bool(pf.bigEndian) == hostBig)
    return value;
  if (pf.bitsPerPixel == 16)
    return ((value & 0xFF) << 8) | ((value >> 8) & 0xFF);
  if (pf.bitsPerPixel == 32)
    return __builtin_bswap32(value);
  return value;
}

rfbPixelFormat PixelAccess::toRfb(const rfb::PixelFormat& pf) {
  rfbPixelFormat out{};
  out.bitsPerPixel = pf.bpp;
  out.depth = pf.depth;
  out.bigEndian = pf.bigEndian;
  out.trueColour = pf.trueColour;
  out.redMax = pf.redMax;
  out.greenMax = pf.greenMax;
  out.blueMax = pf.blueMax;
  out.redShift = pf.redShift;
  out.greenShift = pf.greenShift;
  out.blueShift = pf.blueShift;
  return out;
}

bool PixelAccess::servable(const rfb::PixelFormat& pf) {
  if (pf.bpp == 8)
    return true;
  return pf.trueColour && (pf.bpp == 16 || pf.bpp == 32);
}

rfb::PixelFormat PixelAccess::translatedFormat() {
  bool hostBig = std::endian::native == std::endian::big;
  return rfb::PixelFormat(32, 24, hostBig, true, 255, 255, 255, 0, 16, 8, 0, 0);
}

} // namespace kwoserve
