// gtest first: Xlib's macros (None, Bool) break its headers.
#include <gtest/gtest.h>

#include "uilibs/tx/TXUtil.h"

#include "base/plat/Exception.h"

#include <X11/Xlib.h>

#include <vector>

namespace {

const std::vector<tx::PixmapFormatDesc> typicalFormats = {
  {1, 1, 32}, {4, 8, 32}, {8, 8, 32}, {15, 16, 32}, {16, 16, 32}, {24, 32, 32}, {32, 32, 32},
};

TEST(PixelFormatOfVisual, ChannelsComeFromTheMasks) {
  const struct {
    std::vector<tx::PixmapFormatDesc> formats;
    bool msbFirst;
    tx::VisualDesc visual;
    int depth;
    rfb::PixelFormat expected;
    int pad;
  } cases[] = {
    {typicalFormats, false, {TrueColor, 0xf800, 0x07e0, 0x001f}, 16,
     rfb::PixelFormat(16, 16, false, true, 31, 63, 31, 0, 11, 5, 0, 0), 32},
    {typicalFormats, true, {DirectColor, 0x0000ff, 0x00ff00, 0xff0000}, 24,
     rfb::PixelFormat(32, 24, true, true, 255, 255, 255, 0, 0, 8, 16, 0), 32},
    {typicalFormats, false, {TrueColor, 0x3ff00000, 0x000ffc00, 0x000003ff}, 32,
     rfb::PixelFormat(32, 32, false, true, 1023, 1023, 1023, 0, 20, 10, 0, 0), 32},
    {{{24, 24, 8}}, false, {TrueColor, 0xff0000, 0x00ff00, 0x0000ff}, 24,
     rfb::PixelFormat(24, 24, false, true, 255, 255, 255, 0, 16, 8, 0, 0), 8},
  };
  for (const auto& c : cases) {
    int pad = -1;
    rfb::PixelFormat pf =
      tx::pixelFormatFromServerFacts(c.formats, c.msbFirst, c.visual, c.depth, &pad);
    EXPECT_TRUE(pf == c.expected) << pf.print();
    EXPECT_EQ(pf.bigEndian, c.expected.bigEndian) << pf.print();
    EXPECT_EQ(pad, c.pad) << pf.print();
  }
  // A zero mask has no channel.
  rfb::PixelFormat pf = tx::pixelFormatFromServerFacts(
    typicalFormats, false, {TrueColor, 0xff0000, 0, 0x0000ff}, 24);
  EXPECT_TRUE(pf.greenMax == 0 && pf.greenShift == 255 && pf.redShift == 16) << pf.print();
  for (int visualClass : {PseudoColor, StaticColor, GrayScale, StaticGray}) {
    pf = tx::pixelFormatFromServerFacts(typicalFormats, false, {visualClass, 0, 0, 0}, 8);
    EXPECT_TRUE(!pf.trueColour && pf.bpp == 8 && pf.depth == 8) << visualClass;
  }
}

TEST(PixelFormatOfVisual, RefusesWhatItCannotDescribe) {
  const char* const noFormat = "Error: couldn't find suitable pixmap format";
  const char* const palettized = "Unsupported palettized visual depth ";
  const struct {
    std::vector<tx::PixmapFormatDesc> formats;
    tx::VisualDesc visual;
    int depth;
    std::string message;
  } cases[] = {
    {{{24, 32, 32}}, {TrueColor, 0xf800, 0x07e0, 0x001f}, 16, noFormat}, // none for the depth
    {{{1, 1, 32}}, {StaticGray, 0, 0, 0}, 1, noFormat},                 // 1 bit per pixel
    {{{24, 40, 32}}, {TrueColor, 0xff0000, 0xff00, 0xff}, 24, noFormat},
    {typicalFormats, {PseudoColor, 0, 0, 0}, 4, palettized + std::string("4")},
    {{{8, 16, 32}}, {PseudoColor, 0, 0, 0}, 8, palettized + std::string("8")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.depth);
    try {
      tx::pixelFormatFromServerFacts(c.formats, false, c.visual, c.depth);
      ADD_FAILURE() << "no exception";
    } catch (const plat::Exception& e) {
      EXPECT_EQ(e.str(), c.message);
    }
  }
}

} // namespace
