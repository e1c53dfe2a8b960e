// gtest first: Xlib's macros (None, Bool) break its headers.
#include <gtest/gtest.h>

#include "uilibs/tx/ColourMapX11.h"
#include "uilibs/tx/PixelBufferX11.h"

#include "GrabPicture.h"
#include "GrabServer.h"

#include <X11/Xlib.h>

#include <cmath>

namespace {

using grabtest::inServer;
using grabtest::Painter;
using grabtest::ServerKind;

TEST(ColourMapX11Channels, SixteenBitChannelsScaleToEightBits) {
  // Exact for the values X makes of 8-bit colours (v * 257) ...
  for (uint32_t v = 0; v < 256; v++)
    EXPECT_EQ(tx::ColourMapX11::to8Bits(uint16_t(v * 257)), v) << v;
  // ... and never more than half a step (plus the formula's tie rounding)
  // from the true value, rising with the input.
  uint32_t previous = 0;
  for (uint32_t c = 0; c < 65536; c++) {
    uint32_t got = tx::ColourMapX11::to8Bits(uint16_t(c));
    double exact = c * 255.0 / 65535.0;
    ASSERT_LE(std::fabs(got - exact), 0.51) << c;
    ASSERT_GE(got, previous) << c;
    previous = got;
  }
}

TEST(ColourMapX11, PaintedColoursComeBackThroughTheMap) {
  inServer(ServerKind::depth8, [] {
    Painter painter;
    painter.paintRandom(11);
    tx::PixelBufferX11 pb(DefaultRootWindow(tx::display()), nullptr);
    EXPECT_EQ(pb.getPF().print(), "depth 8 (8 bpp) colour-map");
    auto* map = dynamic_cast<tx::ColourMapX11*>(pb.getColourMap());
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(map->size(), 256);

    pb.grabRegion(rfb::Region(pb.getRect()));
    EXPECT_TRUE(grabtest::pixelsMatch(pb, [&](int x, int y) { return painter.at(x, y); }));
    for (size_t i = 0; i < grabtest::palette().size(); i++) {
      SCOPED_TRACE(i);
      const grabtest::Rgb8& wanted = grabtest::palette()[i];
      const XColor& stored = painter.allocated(i);
      rfb::Colour colour{1, 2, 3, 4};
      map->getColour(int(painter.pixel(i)), &colour);
      EXPECT_EQ(colour.r, tx::ColourMapX11::to8Bits(stored.red));
      EXPECT_EQ(colour.g, tx::ColourMapX11::to8Bits(stored.green));
      EXPECT_EQ(colour.b, tx::ColourMapX11::to8Bits(stored.blue));
      EXPECT_EQ(colour.a, 255u);
      // The server keeps 8 bits per channel or more: the colour survives.
      EXPECT_EQ(colour, (rfb::Colour{wanted.r, wanted.g, wanted.b, 255}));
      // And a pixel of the buffer decodes to it through its format.
      rfb::Colour decoded;
      pb.getPF().rgbaFromPixel(painter.pixel(i), pb.getColourMap(), &decoded);
      EXPECT_EQ(decoded, colour);
    }
  });
}

TEST(ColourMapX11, RefreshReportsChangedEntriesOnly) {
  inServer(ServerKind::depth8, [] {
    Display* dpy = tx::display();
    tx::ColourMapX11 map;
    EXPECT_FALSE(map.refresh());

    Colormap cmap = DefaultColormap(dpy, DefaultScreen(dpy));
    unsigned long cell = 0;
    ASSERT_TRUE(XAllocColorCells(dpy, cmap, False, nullptr, 0, &cell, 1));
    for (uint16_t red : {uint16_t(0x1234), uint16_t(0xfedc)}) {
      XColor colour{cell, red, 0x5678, 0x9abc, DoRed | DoGreen | DoBlue, 0};
      XStoreColor(dpy, cmap, &colour);
      XSync(dpy, False);
      XQueryColor(dpy, cmap, &colour);
      EXPECT_TRUE(map.refresh());
      rfb::Colour got;
      map.getColour(int(cell), &got);
      EXPECT_EQ(got, (rfb::Colour{tx::ColourMapX11::to8Bits(colour.red),
                                  tx::ColourMapX11::to8Bits(colour.green),
                                  tx::ColourMapX11::to8Bits(colour.blue), 255}));
      EXPECT_FALSE(map.refresh());
    }
    XFreeColors(dpy, cmap, &cell, 1, 0);
  });
}

TEST(ColourMapX11, TheInstalledColormapIsTheOneRead) {
  inServer(ServerKind::depth8, [] {
    Display* dpy = tx::display();
    Window root = DefaultRootWindow(dpy);
    Colormap own = XCreateColormap(dpy, root, DefaultVisual(dpy, DefaultScreen(dpy)), AllocAll);
    for (unsigned long i = 0; i < 256; i++) {
      XColor colour{i, uint16_t((255 - i) * 257), uint16_t(i * 257), 0x8080,
                    DoRed | DoGreen | DoBlue, 0};
      XStoreColor(dpy, own, &colour);
    }
    XInstallColormap(dpy, own);
    XSync(dpy, False);

    tx::ColourMapX11 map;
    for (int i : {0, 1, 127, 255}) {
      SCOPED_TRACE(i);
      rfb::Colour got;
      map.getColour(i, &got);
      EXPECT_EQ(got, (rfb::Colour{uint32_t(255 - i), uint32_t(i), 128, 255}));
    }
    XUninstallColormap(dpy, own);
    XFreeColormap(dpy, own);
    XSync(dpy, False);
    EXPECT_TRUE(map.refresh());
  });
}

TEST(ColourMapX11, AColormapThatRefusesTheQueryIsNoFatalError) {
  // Used to be queried outside any error catcher: a refusal (more pixels
  // than the installed colormap has, or a colormap gone meanwhile) reached
  // Xlib's default handler, which ended the agent.
  inServer(ServerKind::depth8, [] {
    Display* dpy = tx::display();
    Colormap gone = XCreateColormap(dpy, DefaultRootWindow(dpy),
                                    DefaultVisual(dpy, DefaultScreen(dpy)), AllocNone);
    XFreeColormap(dpy, gone);
    EXPECT_FALSE(tx::ColourMapX11::readColormap(gone, 256).has_value());
    // The default colormap answers for all of the default visual's cells.
    std::optional<std::vector<tx::Rgb16>> read =
      tx::ColourMapX11::readColormap(DefaultColormap(dpy, DefaultScreen(dpy)), 256);
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->size(), 256u);
  });
}

TEST(ColourMapX11, IndexesOutsideTheMapGiveNothing) {
  inServer(ServerKind::depth8, [] {
    tx::ColourMapX11 map;
    ASSERT_EQ(map.size(), 256);
    for (int index : {-1, 256, 1000}) {
      SCOPED_TRACE(index);
      rfb::Colour colour{1, 2, 3, 4};
      map.getColour(index, &colour);
      EXPECT_EQ(colour, (rfb::Colour{1, 2, 3, 4}));
    }
  });
}

} // namespace
