// gtest first: Xlib's macros (None, Bool) break its headers.
#include <gtest/gtest.h>

#include "uilibs/tx/ColourMapX11.h"
#include "uilibs/tx/PixelBufferX11.h"

#include "GrabSupport.h"

#include <X11/Xlib.h>

#include <cmath>

namespace {

using namespace grabtest;

TEST(ColourMapX11Channels, SixteenBitChannelsScaleToEightBits) {
  // Exact for the values X makes of 8-bit colours (v * 257), never more than
  // half a step (plus the formula's tie rounding) from the true value, and
  // rising with the input.
  for (uint32_t v = 0; v < 256; v++)
    EXPECT_EQ(tx::ColourMapX11::to8Bits(uint16_t(v * 257)), v) << v;
  uint32_t previous = 0;
  for (uint32_t c = 0; c < 65536; c++) {
    uint32_t got = tx::ColourMapX11::to8Bits(uint16_t(c));
    ASSERT_LE(std::fabs(got - c * 255.0 / 65535.0), 0.51) << c;
    ASSERT_GE(got, previous) << c;
    previous = got;
  }
}

// One child process on an 8-bit server for all of the map's behaviours.
TEST(ColourMapX11, ReadsTheShownColormap) {
  inServer(ServerKind::depth8, [] {
    Display* dpy = tx::display();
    Painter painter;
    painter.paintRandom(11);
    tx::PixelBufferX11 pb(DefaultRootWindow(dpy), nullptr);
    auto* map = dynamic_cast<tx::ColourMapX11*>(pb.getColourMap());
    ASSERT_NE(map, nullptr);
    ASSERT_EQ(map->size(), 256);
    pb.grabRegion(rfb::Region(pb.getRect()));
    EXPECT_TRUE(pixelsMatch(pb, [&](int x, int y) { return painter.at(x, y); }));
    // The server keeps 8 bits per channel or more: the colours survive.
    for (size_t i = 0; i < palette().size(); i++) {
      rfb::Colour colour{1, 2, 3, 4};
      map->getColour(int(painter.pixel(i)), &colour);
      EXPECT_EQ(colour, (rfb::Colour{palette()[i].r, palette()[i].g, palette()[i].b, 255})) << i;
    }
    // Indices outside the map leave the colour alone.
    for (int index : {-1, 256}) {
      rfb::Colour colour{1, 2, 3, 4};
      map->getColour(index, &colour);
      EXPECT_EQ(colour, (rfb::Colour{1, 2, 3, 4})) << index;
    }

    // A refresh reports changed entries only.
    EXPECT_FALSE(map->refresh());
    Colormap cmap = DefaultColormap(dpy, DefaultScreen(dpy));
    unsigned long cell = 0;
    ASSERT_TRUE(XAllocColorCells(dpy, cmap, False, nullptr, 0, &cell, 1));
    for (uint16_t red : {uint16_t(0x1234), uint16_t(0xfedc)}) {
      XColor stored{cell, red, 0x5678, 0x9abc, DoRed | DoGreen | DoBlue, 0};
      XStoreColor(dpy, cmap, &stored);
      XSync(dpy, False);
      XQueryColor(dpy, cmap, &stored);
      EXPECT_TRUE(map->refresh());
      rfb::Colour got;
      map->getColour(int(cell), &got);
      EXPECT_EQ(got, (rfb::Colour{tx::ColourMapX11::to8Bits(stored.red),
                                  tx::ColourMapX11::to8Bits(stored.green),
                                  tx::ColourMapX11::to8Bits(stored.blue), 255}));
      EXPECT_FALSE(map->refresh());
    }

    // A colormap installed over the default one is the one read.
    Colormap own = XCreateColormap(dpy, DefaultRootWindow(dpy),
                                   DefaultVisual(dpy, DefaultScreen(dpy)), AllocAll);
    for (unsigned long i = 0; i < 256; i++) {
      XColor colour{i, uint16_t((255 - i) * 257), uint16_t(i * 257), 0x8080,
                    DoRed | DoGreen | DoBlue, 0};
      XStoreColor(dpy, own, &colour);
    }
    XInstallColormap(dpy, own);
    XSync(dpy, False);
    tx::ColourMapX11 shown;
    for (int i : {0, 127, 255}) {
      rfb::Colour got;
      shown.getColour(i, &got);
      EXPECT_EQ(got, (rfb::Colour{uint32_t(255 - i), uint32_t(i), 128, 255})) << i;
    }
    XUninstallColormap(dpy, own);
    XFreeColormap(dpy, own);
    XSync(dpy, False);
    EXPECT_TRUE(shown.refresh());

    // Used to be queried outside any error catcher: a refusal (more pixels
    // than the installed colormap has, or a colormap gone meanwhile) reached
    // Xlib's default handler, which ended the agent.
    Colormap gone = XCreateColormap(dpy, DefaultRootWindow(dpy),
                                    DefaultVisual(dpy, DefaultScreen(dpy)), AllocNone);
    XFreeColormap(dpy, gone);
    EXPECT_FALSE(tx::ColourMapX11::readColormap(gone, 256).has_value());
    EXPECT_FALSE(tx::ColourMapX11::readColormap(cmap, 257).has_value());
    EXPECT_EQ(tx::ColourMapX11::readColormap(cmap, 256).value_or(std::vector<tx::Rgb16>()).size(),
              256u);
  });
}

} // namespace
