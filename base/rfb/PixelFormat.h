#pragma once

// A pixel layout: true colour (channel maxima and shifts) or colour-map
// indices. A plain value; nothing is enforced about the fields because a
// format may come from a peer. Every operation copes with odd values: a shift
// of 32 or more puts the channel outside the pixel (it reads as 0 and writes
// nothing), a maximum of 0 reads as 0.
//
// A "pixel value" is how pixel buffers load a pixel from memory: 16- and
// 32-bit pixels as host-order integers, 24-bit pixels as three bytes with the
// lowest first, 8-bit pixels as the byte. The conversions below undo the
// format's byte order on such values.

#include "base/rfb/Colour.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>

namespace rdr {
class InStream;
class OutStream;
} // namespace rdr

namespace rfb {

class ColourMap;

class PixelFormat {
public:
  // 8 bpp, depth 8, true colour, red 7<<0, green 7<<3, blue 3<<6 (bgr233).
  PixelFormat();
  PixelFormat(int bpp, int depth, bool bigEndian, bool trueColour, int redMax, int greenMax,
              int blueMax, int alphaMax, int redShift, int greenShift, int blueShift,
              int alphaShift);

  // Byte order does not matter at 8 bpp; channel layout does not matter for
  // colour-map formats.
  bool operator==(const PixelFormat& other) const;

  // The 16-byte wire form: the RFB PIXEL_FORMAT layout with alphaShift and
  // alphaMax in its padding. Reading keeps alpha only when depth equals the
  // number of bits in all four maxima together.
  static constexpr size_t wireSize = 16;
  void writeBytes(uint8_t* out) const;
  void readBytes(const uint8_t* in);
  void write(rdr::OutStream& os) const;
  void read(rdr::InStream& is);

  // One-line description, e.g. "depth 32 (32 bpp) little-endian argb8888".
  // The buffer form writes at most size - 1 characters and terminates them.
  static constexpr size_t textSize = 128;
  void print(char* buffer, size_t size) const;
  std::string print() const;

  // Turns a big-endian format into the little-endian one describing the same
  // bytes. False (format unchanged) when no such format exists.
  bool makeLittleEndian();

  int bytesPerPixel() const { return bpp / 8; }
  bool hasAlpha() const { return trueColour && alphaMax != 0; }

  // Single-pixel conversions between pixel values and 8-bit RGBA. A
  // colour-map format needs the map; without one, encoding yields index 0
  // and decoding yields opaque black.
  uint32_t pixelFromRGBA(const Colour& colour, const ColourMap* colourMap) const;
  void rgbaFromPixel(uint32_t pixel, const ColourMap* colourMap, Colour* colour) const;
  Colour rgbaFromPixel(uint32_t pixel, const ColourMap* colourMap = nullptr) const;

  // Converts between a pixel value as loaded from memory and the value whose
  // bits the shifts describe (the same swap both ways).
  uint32_t toLogical(uint32_t pixel) const;
  // Whether toLogical reverses the bytes of a 16-, 24- or 32-bit pixel.
  bool swapsBytes() const;

  // Channel scaling to and from 0..255: (v * 255 + max / 2) / max (0 for a
  // zero max) and (c * max + 127) / 255. Values of c above 255 are clamped.
  static uint32_t scaleTo8Bit(uint32_t value, uint32_t max) {
    return max == 0 ? 0 : (value * 255 + max / 2) / max;
  }
  static uint32_t scaleFrom8Bit(uint32_t c, uint32_t max) { return (clamp8(c) * max + 127) / 255; }

  // Predefined formats, built on first use and shared.
  static const PixelFormat& rgb888();
  static const PixelFormat& bgr888();
  static const PixelFormat& rgb565();
  static const PixelFormat& rgb555();
  static const PixelFormat& rgb222();
  static const PixelFormat& rgb111();
  static const PixelFormat& pal8();
  static const PixelFormat& argb8888();
  static const PixelFormat& abgr8888();

  uint8_t bpp;
  uint8_t depth;
  bool bigEndian;
  bool trueColour;
  uint16_t redMax;
  uint16_t greenMax;
  uint16_t blueMax;
  uint16_t alphaMax;
  uint8_t redShift;
  uint8_t greenShift;
  uint8_t blueShift;
  uint8_t alphaShift;

private:
  static uint32_t clamp8(uint32_t c) { return c > 255 ? 255 : c; }
  static uint32_t extract(uint32_t pixel, unsigned shift, uint32_t max) {
    return shift < 32 ? (pixel >> shift) & max : 0;
  }
  static uint32_t place(uint32_t value, unsigned shift) { return shift < 32 ? value << shift : 0; }
  bool rgbMaxAll255() const { return redMax == 255 && greenMax == 255 && blueMax == 255; }

  uint32_t indexFromColour(const Colour& colour, const ColourMap* colourMap) const;
  void colourFromIndex(uint32_t index, const ColourMap* colourMap, Colour* colour) const;
};

// Inline because pixel-buffer conversion loops call these once per pixel.

inline bool PixelFormat::swapsBytes() const {
  constexpr bool hostBig = std::endian::native == std::endian::big;
  switch (bpp) {
  case 16:
  case 32: return bigEndian != hostBig;
  case 24:
    // Loaded lowest byte first on every host.
    return bigEndian;
  default: return false;
  }
}

inline uint32_t PixelFormat::toLogical(uint32_t pixel) const {
  if (!swapsBytes())
    return pixel;
  switch (bpp) {
  case 16: return ((pixel & 0xff) << 8) | ((pixel >> 8) & 0xff);
  case 24: return ((pixel & 0xff) << 16) | (pixel & 0xff00) | ((pixel >> 16) & 0xff);
  default: return __builtin_bswap32(pixel);
  }
}

inline uint32_t PixelFormat::pixelFromRGBA(const Colour& colour, const ColourMap* colourMap) const {
  if (!trueColour)
    return toLogical(indexFromColour(colour, colourMap));
  uint32_t r, g, b;
  if (rgbMaxAll255()) {
    r = clamp8(colour.r);
    g = clamp8(colour.g);
    b = clamp8(colour.b);
  } else {
    r = scaleFrom8Bit(colour.r, redMax);
    g = scaleFrom8Bit(colour.g, greenMax);
    b = scaleFrom8Bit(colour.b, blueMax);
  }
  uint32_t a = alphaMax == 255 ? clamp8(colour.a) : scaleFrom8Bit(colour.a, alphaMax);
  return toLogical(place(r, redShift) | place(g, greenShift) | place(b, blueShift) |
                   place(a, alphaShift));
}

inline void PixelFormat::rgbaFromPixel(uint32_t pixel, const ColourMap* colourMap,
                                       Colour* colour) const {
  pixel = toLogical(pixel);
  if (!trueColour) {
    colourFromIndex(pixel, colourMap, colour);
    return;
  }
  uint32_t r = extract(pixel, redShift, redMax);
  uint32_t g = extract(pixel, greenShift, greenMax);
  uint32_t b = extract(pixel, blueShift, blueMax);
  if (!rgbMaxAll255()) {
    r = scaleTo8Bit(r, redMax);
    g = scaleTo8Bit(g, greenMax);
    b = scaleTo8Bit(b, blueMax);
  }
  uint32_t a = extract(pixel, alphaShift, alphaMax);
  if (alphaMax == 0)
    a = 255;
  else if (alphaMax != 255)
    a = scaleTo8Bit(a, alphaMax);
  colour->r = r;
  colour->g = g;
  colour->b = b;
  colour->a = a;
}

inline Colour PixelFormat::rgbaFromPixel(uint32_t pixel, const ColourMap* colourMap) const {
  Colour colour;
  rgbaFromPixel(pixel, colourMap, &colour);
  return colour;
}

} // namespace rfb
