#include "base/rfb/PixelFormat.h"

#include "base/rdr/InStream.h"
#include "base/rdr/OutStream.h"
#include "base/rfb/ColourMap.h"

#include <cstdio>
#include <optional>

namespace rfb {

namespace {

struct Channel {
  char letter;
  unsigned max;
  unsigned shift;
};

// The digits of a compact name ("565" for rgb565) when the channels, listed
// from the highest bits down, tile the bits 0..depth-1 exactly: each channel
// spans from its shift to the next higher channel's shift (the top one to
// depth) and its maximum fills that span.
std::optional<std::string> compactName(const Channel* channels, int count, unsigned depth) {
  std::string letters, digits;
  unsigned top = depth;
  for (int i = 0; i < count; i++) {
    const Channel& c = channels[i];
    if (c.shift >= top)
      return std::nullopt;
    unsigned bits = top - c.shift;
    if (bits > 16 || c.max != (1u << bits) - 1)
      return std::nullopt;
    letters += c.letter;
    digits += std::to_string(bits);
    top = c.shift;
  }
  if (top != 0)
    return std::nullopt;
  return letters + digits;
}

std::optional<std::string> compactTrueColourName(const PixelFormat& pf) {
  const Channel r{'r', pf.redMax, pf.redShift};
  const Channel g{'g', pf.greenMax, pf.greenShift};
  const Channel b{'b', pf.blueMax, pf.blueShift};
  const Channel a{'a', pf.alphaMax, pf.alphaShift};
  const Channel shapes[6][4] = {
      {r, g, b}, {r, g, b, a}, {a, r, g, b}, {b, g, r}, {b, g, r, a}, {a, b, g, r},
  };
  for (int i = 0; i < 6; i++) {
    bool threeChannels = i % 3 == 0;
    if (threeChannels != (pf.alphaMax == 0))
      continue;
    if (auto name = compactName(shapes[i], threeChannels ? 3 : 4, pf.depth))
      return name;
  }
  return std::nullopt;
}

uint16_t readU16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }

void writeU16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v >> 8);
  p[1] = uint8_t(v);
}

} // namespace

PixelFormat::PixelFormat() : PixelFormat(8, 8, false, true, 7, 7, 3, 0, 0, 3, 6, 0) {}

PixelFormat::PixelFormat(int bpp_, int depth_, bool bigEndian_, bool trueColour_, int redMax_,
                         int greenMax_, int blueMax_, int alphaMax_, int redShift_, int greenShift_,
                         int blueShift_, int alphaShift_)
    : bpp(uint8_t(bpp_)), depth(uint8_t(depth_)), bigEndian(bigEndian_), trueColour(trueColour_),
      redMax(uint16_t(redMax_)), greenMax(uint16_t(greenMax_)), blueMax(uint16_t(blueMax_)),
      alphaMax(uint16_t(alphaMax_)), redShift(uint8_t(redShift_)), greenShift(uint8_t(greenShift_)),
      blueShift(uint8_t(blueShift_)), alphaShift(uint8_t(alphaShift_)) {}

bool PixelFormat::operator==(const PixelFormat& o) const {
  if (bpp != o.bpp || depth != o.depth || trueColour != o.trueColour)
    return false;
  if (bpp != 8 && bigEndian != o.bigEndian)
    return false;
  if (!trueColour)
    return true;
  return redMax == o.redMax && greenMax == o.greenMax && blueMax == o.blueMax &&
         alphaMax == o.alphaMax && redShift == o.redShift && greenShift == o.greenShift &&
         blueShift == o.blueShift && alphaShift == o.alphaShift;
}

void PixelFormat::writeBytes(uint8_t* out) const {
  out[0] = bpp;
  out[1] = depth;
  out[2] = bigEndian ? 1 : 0;
  out[3] = trueColour ? 1 : 0;
  writeU16(out + 4, redMax);
  writeU16(out + 6, greenMax);
  writeU16(out + 8, blueMax);
  out[10] = redShift;
  out[11] = greenShift;
  out[12] = blueShift;
  out[13] = alphaShift;
  writeU16(out + 14, alphaMax);
}

void PixelFormat::readBytes(const uint8_t* in) {
  bpp = in[0];
  depth = in[1];
  bigEndian = in[2] != 0;
  trueColour = in[3] != 0;
  redMax = readU16(in + 4);
  greenMax = readU16(in + 6);
  blueMax = readU16(in + 8);
  redShift = in[10];
  greenShift = in[11];
  blueShift = in[12];
  alphaShift = in[13];
  alphaMax = readU16(in + 14);
  // Plain RFB peers leave the padding bytes as they like; only a depth that
  // accounts for the alpha bits shows that they meant an alpha channel.
  int bits = std::popcount(redMax) + std::popcount(greenMax) + std::popcount(blueMax) +
             std::popcount(alphaMax);
  if (bits != depth) {
    alphaMax = 0;
    alphaShift = 0;
  }
}

void PixelFormat::write(rdr::OutStream& os) const {
  uint8_t bytes[wireSize];
  writeBytes(bytes);
  os.writeBytes(bytes, wireSize);
}

void PixelFormat::read(rdr::InStream& is) {
  uint8_t bytes[wireSize];
  is.readBytes(bytes, wireSize);
  readBytes(bytes);
}

std::string PixelFormat::print() const {
  std::string text = "depth " + std::to_string(depth) + " (" + std::to_string(bpp) + " bpp)";
  if (bpp != 8)
    text += bigEndian ? " big-endian" : " little-endian";
  if (!trueColour)
    return text + " colour-map";
  if (auto name = compactTrueColourName(*this))
    return text + " " + *name;
  char tail[textSize];
  std::snprintf(tail, sizeof(tail), " rgb max %d,%d,%d shift %d,%d,%d", redMax, greenMax, blueMax,
                redShift, greenShift, blueShift);
  text += tail;
  if (alphaMax != 0) {
    std::snprintf(tail, sizeof(tail), " alpha max %d shift %d", alphaMax, alphaShift);
    text += tail;
  }
  return text;
}

void PixelFormat::print(char* buffer, size_t size) const {
  if (size == 0)
    return;
  std::snprintf(buffer, size, "%s", print().c_str());
}

bool PixelFormat::makeLittleEndian() {
  if (!bigEndian)
    return true;
  if (bpp == 8) {
    bigEndian = false;
    return true;
  }
  // A wider colour-map index has no shifts to rewrite: its byte order cannot
  // be expressed any other way.
  if (!trueColour)
    return false;
  // Only whole 2-, 3- and 4-byte pixels have a byte order to undo; moving
  // the shifts of any other size would describe different bits.
  if (bpp != 16 && bpp != 24 && bpp != 32)
    return false;
  const bool alpha = alphaMax != 0;
  const int top = bpp - 8;
  // Each channel must be one whole byte inside the pixel to be re-addressed.
  auto byteChannel = [top](unsigned max, unsigned shift) {
    return max < 256 && shift % 8 == 0 && int(shift) <= top;
  };
  if (!byteChannel(redMax, redShift) || !byteChannel(greenMax, greenShift) ||
      !byteChannel(blueMax, blueShift) || (alpha && !byteChannel(alphaMax, alphaShift)))
    return false;
  redShift = uint8_t(top - redShift);
  greenShift = uint8_t(top - greenShift);
  blueShift = uint8_t(top - blueShift);
  if (alpha)
    alphaShift = uint8_t(top - alphaShift);
  bigEndian = false;
  return true;
}

uint32_t PixelFormat::indexFromColour(const Colour& colour, const ColourMap* colourMap) const {
  if (!colourMap)
    return 0;
  return uint32_t(colourMap->lookupClosest(colour));
}

void PixelFormat::colourFromIndex(uint32_t index, const ColourMap* colourMap,
                                  Colour* colour) const {
  *colour = Colour{0, 0, 0, 255};
  if (colourMap && index <= 0x7fffffff)
    colourMap->getColour(int(index), colour);
  colour->a = 255;
}

const PixelFormat& PixelFormat::rgb888() {
  static const PixelFormat pf(32, 24, false, true, 255, 255, 255, 0, 16, 8, 0, 0);
  return pf;
}

const PixelFormat& PixelFormat::bgr888() {
  static const PixelFormat pf(32, 24, false, true, 255, 255, 255, 0, 0, 8, 16, 0);
  return pf;
}

const PixelFormat& PixelFormat::rgb565() {
  static const PixelFormat pf(16, 16, false, true, 31, 63, 31, 0, 11, 5, 0, 0);
  return pf;
}

const PixelFormat& PixelFormat::rgb555() {
  static const PixelFormat pf(16, 15, false, true, 31, 31, 31, 0, 10, 5, 0, 0);
  return pf;
}

const PixelFormat& PixelFormat::rgb222() {
  static const PixelFormat pf(8, 6, false, true, 3, 3, 3, 0, 4, 2, 0, 0);
  return pf;
}

const PixelFormat& PixelFormat::rgb111() {
  static const PixelFormat pf(8, 3, false, true, 1, 1, 1, 0, 2, 1, 0, 0);
  return pf;
}

const PixelFormat& PixelFormat::pal8() {
  static const PixelFormat pf(8, 8, false, false, 0, 0, 0, 0, 0, 0, 0, 0);
  return pf;
}

const PixelFormat& PixelFormat::argb8888() {
  static const PixelFormat pf(32, 32, false, true, 255, 255, 255, 255, 16, 8, 0, 24);
  return pf;
}

const PixelFormat& PixelFormat::abgr8888() {
  static const PixelFormat pf(32, 32, false, true, 255, 255, 255, 255, 0, 8, 16, 24);
  return pf;
}

} // namespace rfb
