#include "base/rfb/PixelFormat.h"
#include "base/rfb/PixelValue.h"

#include "base/rdr/MemInStream.h"
#include "base/rdr/MemOutStream.h"
#include "base/rfb/tests/SimpleColourMap.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <random>

namespace {

using rfb::Colour;
using rfb::PixelFormat;

void expectSameFields(const PixelFormat& a, const PixelFormat& b) {
  auto fields = [](const PixelFormat& p) {
    return std::vector<int>{p.bpp,     p.depth,    p.bigEndian,  p.trueColour, p.redMax,    p.greenMax,
                            p.blueMax, p.alphaMax, p.redShift, p.greenShift, p.blueShift, p.alphaShift};
  };
  EXPECT_EQ(fields(a), fields(b)) << a.print() << " != " << b.print();
}

// A pixel value in memory, as pixel buffers keep it.
std::vector<uint8_t> pixelBytes(uint32_t value, int bpp) {
  std::vector<uint8_t> bytes(bpp / 8);
  rfb::pixelvalue::store(bytes.data(), bpp, value);
  return bytes;
}

TEST(PixelFormatWire, Bytes) {
  {
    uint8_t bytes[PixelFormat::wireSize];
    PixelFormat::argb8888().writeBytes(bytes);
    const uint8_t expected[] = {32, 32, 0, 1, 0, 255, 0, 255, 0, 255, 16, 8, 0, 24, 0, 255};
    EXPECT_EQ(0, std::memcmp(bytes, expected, sizeof(expected)));
  }
  {
    std::mt19937 rng(20240611);
    for (int i = 0; i < 200; i++) {
      auto bits = [&](int max) { return int(rng() % (max + 1)); };
      int rb = bits(8), gb = bits(8), bb = bits(8), ab = bits(8);
      auto mask = [](int n) { return (1 << n) - 1; };
      int depth = rb + gb + bb + ab + int(rng() % 3) - 1;
      PixelFormat pf(32, depth < 0 ? 0 : depth, rng() & 1, rng() & 1, mask(rb), mask(gb), mask(bb),
                     mask(ab), bits(24), bits(24), bits(24), bits(24));
      SCOPED_TRACE(pf.print());
      uint8_t bytes[PixelFormat::wireSize];
      // Through the streams (every other one) or the bytes.
      PixelFormat back;
      if (i % 2) {
        rdr::MemOutStream out;
        pf.write(out);
        rdr::MemInStream in(out.data(), out.length());
        back.read(in);
      } else {
        pf.writeBytes(bytes);
        back.readBytes(bytes);
      }
      PixelFormat expected = pf;
      if (pf.depth != rb + gb + bb + ab) {
        expected.alphaMax = 0;
        expected.alphaShift = 0;
      }
      expectSameFields(back, expected);
    }
  }
}

TEST(PixelFormatEquality, Rules) {
  PixelFormat pal(8, 8, false, false, 1, 2, 3, 4, 5, 6, 7, 0);
  PixelFormat palOther(8, 8, true, false, 9, 9, 9, 9, 1, 1, 1, 1);
  PixelFormat lowEight = PixelFormat::rgb222();
  PixelFormat bigEight = lowEight;
  bigEight.bigEndian = true;
  PixelFormat big565 = PixelFormat::rgb565();
  big565.bigEndian = true;
  PixelFormat otherAlphaShift = PixelFormat::argb8888();
  otherAlphaShift.alphaShift = 0;
  struct Case {
    const char* name;
    PixelFormat a, b;
    bool equal;
  } cases[] = {
      {"colour-map formats ignore channels and byte order", pal, palOther, true},
      {"8 bpp ignores byte order", lowEight, bigEight, true},
      {"16 bpp byte order counts", PixelFormat::rgb565(), big565, false},
      {"alpha shift counts for true colour", PixelFormat::argb8888(), otherAlphaShift, false},
      {"true colour against colour map", PixelFormat::pal8(), PixelFormat(), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.a == c.b, c.equal);
    EXPECT_EQ(c.b == c.a, c.equal);
  }
}

TEST(PixelFormatEndian, MakeLittleEndianTable) {
  struct Case {
    const char* name;
    PixelFormat in;
    std::optional<PixelFormat> out; // none: refused, the format unchanged
  } cases[] = {
      {"32 bpp shifts 16/8/0", PixelFormat(32, 24, true, true, 255, 255, 255, 0, 16, 8, 0, 0),
       PixelFormat(32, 24, false, true, 255, 255, 255, 0, 8, 16, 24, 0)},
      {"channel wider than a byte", PixelFormat(16, 16, true, true, 31, 63, 31, 0, 11, 5, 0, 0)},
      // Used to wrap to a shift of 248 for a channel that lies past the pixel.
      {"channel outside the pixel", PixelFormat(16, 8, true, true, 255, 0, 0, 0, 16, 0, 0, 0)},
      // Used to claim success while a 16-bit index keeps its big-endian bytes.
      {"16-bit colour map", PixelFormat(16, 16, true, false, 0, 0, 0, 0, 0, 0, 0, 0)},
      // Used to move the shifts of a 20 bpp format, whose bytes are never swapped.
      {"not a whole-byte pixel", PixelFormat(20, 24, true, true, 255, 255, 255, 0, 0, 0, 0, 0)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PixelFormat pf = c.in;
    EXPECT_EQ(pf.makeLittleEndian(), c.out.has_value());
    expectSameFields(pf, c.out.value_or(c.in));
  }
}

// A format and its little-endian twin must lay every colour out in the same
// bytes. For 24 bpp this used to fail: big-endian 24-bit pixels were taken
// lowest byte first, so red and blue traded places.
TEST(PixelFormatEndian, LittleEndianTwinGivesTheSameBytes) {
  const PixelFormat bigFormats[] = {
      PixelFormat(32, 24, true, true, 255, 255, 255, 0, 16, 8, 0, 0),
      PixelFormat(24, 24, true, true, 255, 255, 255, 0, 16, 8, 0, 0),
  };
  std::mt19937 rng(7);
  for (const PixelFormat& big : bigFormats) {
    SCOPED_TRACE(big.print());
    PixelFormat little = big;
    ASSERT_TRUE(little.makeLittleEndian());
    for (int i = 0; i < 200; i++) {
      Colour c{uint32_t(rng() % 256), uint32_t(rng() % 256), uint32_t(rng() % 256),
               uint32_t(rng() % 256)};
      uint32_t pb = big.pixelFromRGBA(c, nullptr);
      uint32_t pl = little.pixelFromRGBA(c, nullptr);
      ASSERT_EQ(pixelBytes(pb, big.bpp), pixelBytes(pl, little.bpp));
      EXPECT_EQ(big.rgbaFromPixel(pb), little.rgbaFromPixel(pl));
    }
  }
}

// The conversion arithmetic written out plainly, for little-endian true colour.
uint32_t referenceEncode(const PixelFormat& pf, Colour c) {
  auto scale = [](uint32_t v, uint32_t max) { return (v * max + 127) / 255; };
  bool all255 = pf.redMax == 255 && pf.greenMax == 255 && pf.blueMax == 255;
  uint32_t r = all255 ? c.r : scale(c.r, pf.redMax);
  uint32_t g = all255 ? c.g : scale(c.g, pf.greenMax);
  uint32_t b = all255 ? c.b : scale(c.b, pf.blueMax);
  uint32_t a = pf.alphaMax == 255 ? c.a : scale(c.a, pf.alphaMax);
  return r << pf.redShift | g << pf.greenShift | b << pf.blueShift | a << pf.alphaShift;
}

Colour referenceDecode(const PixelFormat& pf, uint32_t p) {
  auto scale = [](uint32_t v, uint32_t max) { return max ? (v * 255 + max / 2) / max : 0; };
  bool all255 = pf.redMax == 255 && pf.greenMax == 255 && pf.blueMax == 255;
  uint32_t r = (p >> pf.redShift) & pf.redMax;
  uint32_t g = (p >> pf.greenShift) & pf.greenMax;
  uint32_t b = (p >> pf.blueShift) & pf.blueMax;
  uint32_t a = (p >> pf.alphaShift) & pf.alphaMax;
  if (!all255) {
    r = scale(r, pf.redMax);
    g = scale(g, pf.greenMax);
    b = scale(b, pf.blueMax);
  }
  if (pf.alphaMax == 0)
    a = 255;
  else if (pf.alphaMax != 255)
    a = scale(a, pf.alphaMax);
  return Colour{r, g, b, a};
}

TEST(PixelFormatConversion, RandomColoursAgainstReference) {
  const PixelFormat formats[] = {
      PixelFormat::rgb888(),
      PixelFormat::rgb565(),
      PixelFormat::rgb111(),
      PixelFormat::abgr8888(),
      PixelFormat(),
      PixelFormat(16, 16, false, true, 15, 15, 15, 15, 8, 4, 0, 12),
      PixelFormat(32, 30, false, true, 1023, 1023, 1023, 0, 20, 10, 0, 0),
      PixelFormat(32, 32, false, true, 255, 255, 255, 3, 0, 8, 16, 30),
  };
  std::mt19937 rng(424242);
  for (const PixelFormat& pf : formats) {
    SCOPED_TRACE(pf.print());
    for (int i = 0; i < 500; i++) {
      Colour c{uint32_t(rng() % 256), uint32_t(rng() % 256), uint32_t(rng() % 256),
               uint32_t(rng() % 256)};
      ASSERT_EQ(pf.pixelFromRGBA(c, nullptr), referenceEncode(pf, c));
      uint32_t p = rng();
      if (pf.bpp < 32)
        p &= (1u << pf.bpp) - 1;
      ASSERT_EQ(pf.rgbaFromPixel(p), referenceDecode(pf, p));
    }
  }
}

TEST(PixelFormatConversion, Edges) {
  // Used to let a channel above 255 (from compositing data that was not
  // premultiplied) spill into the neighbouring channel.
  {
    const PixelFormat& pf = PixelFormat::argb8888();
    EXPECT_EQ(pf.pixelFromRGBA(Colour{300, 0, 0, 0}, nullptr), 0x00ff0000u);
    EXPECT_EQ(PixelFormat::rgb565().pixelFromRGBA(Colour{0, 0, 400, 255}, nullptr), 0x001fu);
  }
  {
    PixelFormat pf(32, 24, false, true, 255, 255, 255, 0, 40, 8, 0, 0);
    EXPECT_EQ(pf.pixelFromRGBA(Colour{255, 255, 255, 255}, nullptr), 0xffffu);
    EXPECT_EQ(pf.rgbaFromPixel(0xffffffff), (Colour{0, 255, 255, 255}));
  }
  {
    rfb::test::SimpleColourMap map({{0, 0, 0, 255}, {250, 10, 10, 7}, {10, 250, 10, 255}});
    const PixelFormat& pf = PixelFormat::pal8();
    EXPECT_EQ(pf.pixelFromRGBA(Colour{200, 0, 0, 255}, &map), 1u);
    EXPECT_EQ(pf.rgbaFromPixel(1, &map), (Colour{250, 10, 10, 255}));
    // Outside the map, and without a map: opaque black / index 0.
    EXPECT_EQ(pf.rgbaFromPixel(9, &map), (Colour{0, 0, 0, 255}));
    EXPECT_EQ(pf.pixelFromRGBA(Colour{200, 0, 0, 255}, nullptr), 0u);
  }
}

} // namespace
