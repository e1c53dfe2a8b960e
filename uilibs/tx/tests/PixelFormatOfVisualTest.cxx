// gtest first: Xlib's macros (None, Bool) break its headers.
#include <gtest/gtest.h>

#include "uilibs/tx/TXUtil.h"

#include "XTestHelpers.h"

#include "base/plat/Exception.h"

#include <string>
#include <vector>

namespace {

const std::vector<tx::PixmapFormatDesc> typicalFormats = {
  {1, 1, 32}, {4, 8, 32}, {8, 8, 32}, {15, 16, 32}, {16, 16, 32}, {24, 32, 32}, {32, 32, 32},
};

struct TrueColourCase {
  const char* name;
  std::vector<tx::PixmapFormatDesc> formats;
  bool msbFirst;
  tx::VisualDesc visual;
  int depth;
  rfb::PixelFormat expected;
  int pad;
};

TEST(PixelFormatOfVisual, ChannelsComeFromTheMasks) {
  const TrueColourCase cases[] = {
    {"rgb565", typicalFormats, false, {TrueColor, 0xf800, 0x07e0, 0x001f}, 16,
     rfb::PixelFormat(16, 16, false, true, 31, 63, 31, 0, 11, 5, 0, 0), 32},
    {"rgb888 in 32 bits", typicalFormats, false, {TrueColor, 0xff0000, 0x00ff00, 0x0000ff}, 24,
     rfb::PixelFormat(32, 24, false, true, 255, 255, 255, 0, 16, 8, 0, 0), 32},
    {"bgr888, msb first", typicalFormats, true, {DirectColor, 0x0000ff, 0x00ff00, 0xff0000}, 24,
     rfb::PixelFormat(32, 24, true, true, 255, 255, 255, 0, 0, 8, 16, 0), 32},
    {"rgb555", typicalFormats, false, {TrueColor, 0x7c00, 0x03e0, 0x001f}, 15,
     rfb::PixelFormat(16, 15, false, true, 31, 31, 31, 0, 10, 5, 0, 0), 32},
    {"10-bit channels", typicalFormats, false, {TrueColor, 0x3ff00000, 0x000ffc00, 0x000003ff}, 32,
     rfb::PixelFormat(32, 32, false, true, 1023, 1023, 1023, 0, 20, 10, 0, 0), 32},
    {"24 bits per pixel, pad 8", {{24, 24, 8}}, false, {TrueColor, 0xff0000, 0x00ff00, 0x0000ff},
     24, rfb::PixelFormat(24, 24, false, true, 255, 255, 255, 0, 16, 8, 0, 0), 8},
  };
  for (const TrueColourCase& c : cases) {
    SCOPED_TRACE(c.name);
    int pad = -1;
    rfb::PixelFormat pf =
      tx::pixelFormatFromServerFacts(c.formats, c.msbFirst, c.visual, c.depth, &pad);
    EXPECT_TRUE(pf == c.expected) << pf.print();
    EXPECT_EQ(pf.bigEndian, c.expected.bigEndian);
    EXPECT_EQ(pad, c.pad);
  }

  // A zero mask has no channel.
  rfb::PixelFormat pf = tx::pixelFormatFromServerFacts(
    typicalFormats, false, {TrueColor, 0xff0000, 0, 0x0000ff}, 24);
  EXPECT_EQ(pf.greenMax, 0);
  EXPECT_EQ(pf.greenShift, 255);
  EXPECT_EQ(pf.redShift, 16);

  for (int visualClass : {PseudoColor, StaticColor, GrayScale, StaticGray}) {
    SCOPED_TRACE(visualClass);
    pf = tx::pixelFormatFromServerFacts(typicalFormats, false, {visualClass, 0, 0, 0}, 8);
    EXPECT_FALSE(pf.trueColour);
    EXPECT_EQ(pf.bpp, 8);
    EXPECT_EQ(pf.depth, 8);
  }
}

TEST(PixelFormatOfVisual, RefusesWhatItCannotDescribe) {
  struct Case {
    const char* name;
    std::vector<tx::PixmapFormatDesc> formats;
    tx::VisualDesc visual;
    int depth;
    const char* message;
  };
  const char* const noFormat = "Error: couldn't find suitable pixmap format";
  const Case cases[] = {
    {"no format for the depth", {{24, 32, 32}}, {TrueColor, 0xf800, 0x07e0, 0x001f}, 16,
     noFormat},
    {"no formats at all", {}, {TrueColor, 0xff0000, 0xff00, 0xff}, 24, noFormat},
    {"1 bit per pixel", {{1, 1, 32}}, {StaticGray, 0, 0, 0}, 1, noFormat},
    {"12 bits per pixel", {{12, 12, 32}}, {TrueColor, 0xf00, 0xf0, 0xf}, 12, noFormat},
    {"0 bits per pixel", {{24, 0, 32}}, {TrueColor, 0xff0000, 0xff00, 0xff}, 24, noFormat},
    {"40 bits per pixel", {{24, 40, 32}}, {TrueColor, 0xff0000, 0xff00, 0xff}, 24, noFormat},
    {"4-bit colour map", typicalFormats, {PseudoColor, 0, 0, 0}, 4,
     "Unsupported palettized visual depth 4"},
    {"16-bit colour map", typicalFormats, {PseudoColor, 0, 0, 0}, 16,
     "Unsupported palettized visual depth 16"},
    {"8-bit depth in 16 bits", {{8, 16, 32}}, {PseudoColor, 0, 0, 0}, 8,
     "Unsupported palettized visual depth 8"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      tx::pixelFormatFromServerFacts(c.formats, false, c.visual, c.depth);
      ADD_FAILURE() << "no exception";
    } catch (const plat::Exception& e) {
      EXPECT_STREQ(e.str(), c.message);
    }
  }
}

TEST(PixelFormatOfVisual, DescribesTheServersDefaultVisual) {
  Display* dpy = txtest::toolkitDisplay();
  int screen = DefaultScreen(dpy);
  int pad = 0;
  rfb::PixelFormat pf =
    tx::pixelFormatOfVisual(DefaultVisual(dpy, screen), DefaultDepth(dpy, screen), &pad);
  // The shared server is 24-bit TrueColor, kept in 32-bit pixels.
  bool msbFirst = ImageByteOrder(dpy) == MSBFirst;
  EXPECT_TRUE(pf == rfb::PixelFormat(32, 24, msbFirst, true, 255, 255, 255, 0, 16, 8, 0, 0))
    << pf.print();
  EXPECT_EQ(pad, 32);
}

} // namespace
