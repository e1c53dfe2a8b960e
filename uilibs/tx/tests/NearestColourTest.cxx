// gtest first: Xlib's macros (None, Bool) break its headers.
#include <gtest/gtest.h>

#include "uilibs/tx/TXUtil.h"

#include "XTestHelpers.h"

#include <cstdint>
#include <random>
#include <set>
#include <vector>

namespace {

TEST(NearestCell, PicksTheLeastHalvedDistance) {
  struct Case {
    const char* name;
    std::vector<tx::Rgb16> cells;
    std::vector<bool> usable;
    tx::Rgb16 wanted;
    int expected;
  };
  const Case cases[] = {
    {"exact match", {{0, 0, 0}, {100, 200, 300}, {65535, 65535, 65535}}, {true, true, true},
     {100, 200, 300}, 1},
    {"unusable cells are skipped", {{0, 0, 0}, {100, 200, 300}, {65535, 65535, 65535}},
     {true, false, true}, {100, 200, 300}, 0},
    {"equal distance: lowest index", {{10, 0, 0}, {0, 10, 0}, {0, 0, 10}}, {true, true, true},
     {0, 0, 0}, 0},
    // Halving truncates towards zero, so differences of one vanish.
    {"differences of one count as none", {{0, 0, 0}, {1, 1, 1}}, {true, true}, {1, 1, 1}, 0},
    {"negative differences truncate too", {{4, 4, 4}, {1, 0, 0}}, {true, true}, {0, 0, 0}, 1},
    // Used to overflow 32-bit arithmetic: 3 * 32767^2 wrapped negative and
    // white looked nearer to black than a mid grey.
    {"full-range distances", {{65535, 65535, 65535}, {40000, 40000, 40000}}, {true, true},
     {0, 0, 0}, 1},
    {"nothing usable", {{0, 0, 0}}, {false}, {0, 0, 0}, -1},
    {"no cells", {}, {}, {0, 0, 0}, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(tx::nearestCell(c.cells, c.usable, c.wanted), c.expected);
  }
}

using Connection = txtest::Connection;

// On a full 8-bit PseudoColor colormap: one client owns some shared
// (read-only) cells of known colours and fills every other cell privately;
// another client then asks for colours that are not there.
class FullColormapTest : public ::testing::Test {
protected:
  void SetUp() override {
    testsupport::XvfbServer::Options options;
    options.width = 320;
    options.height = 200;
    options.depth = 8;
    server = std::make_unique<testsupport::XvfbServer>(options);
    owner = txtest::connect(server->displayName());
    asker = txtest::connect(server->displayName());
    ASSERT_TRUE(owner && asker);
    Visual* visual = DefaultVisual(owner.get(), DefaultScreen(owner.get()));
    ASSERT_EQ(visual->c_class, PseudoColor);
    mapEntries = visual->map_entries;
    ASSERT_EQ(mapEntries, 256);
    cmap = DefaultColormap(owner.get(), DefaultScreen(owner.get()));
  }

  // Shares `colours` read-only, then takes every free cell privately and
  // paints them with `privateColour`.
  void fillColormap(const std::vector<tx::Rgb16>& colours, tx::Rgb16 privateColour) {
    for (const tx::Rgb16& c : colours) {
      XColor colour{0, c.red, c.green, c.blue, DoRed | DoGreen | DoBlue, 0};
      ASSERT_TRUE(XAllocColor(owner.get(), cmap, &colour));
      shared.insert(colour.pixel);
    }
    unsigned long pixel;
    while (XAllocColorCells(owner.get(), cmap, False, nullptr, 0, &pixel, 1)) {
      XColor colour{pixel, privateColour.red, privateColour.green, privateColour.blue,
                    DoRed | DoGreen | DoBlue, 0};
      XStoreColor(owner.get(), cmap, &colour);
      privateCells.insert(pixel);
    }
    XSync(owner.get(), False);
  }

  // The reference answer: the nearest cell that is not private, by the
  // same measure, lowest pixel on a tie.
  unsigned long expectedPixel(const tx::Rgb16& wanted) {
    std::vector<XColor> cells(mapEntries);
    for (int i = 0; i < mapEntries; i++)
      cells[i].pixel = i;
    XQueryColors(owner.get(), cmap, cells.data(), mapEntries);
    long long best = -1;
    unsigned long bestPixel = 0;
    for (const XColor& cell : cells) {
      if (privateCells.count(cell.pixel))
        continue;
      long long dr = (int(cell.red) - int(wanted.red)) / 2;
      long long dg = (int(cell.green) - int(wanted.green)) / 2;
      long long db = (int(cell.blue) - int(wanted.blue)) / 2;
      long long distance = dr * dr + dg * dg + db * db;
      if (best < 0 || distance < best) {
        best = distance;
        bestPixel = cell.pixel;
      }
    }
    return bestPixel;
  }

  // True when the owner can take one more cell: nobody holds a freed one.
  bool ownerCanTakeACell() {
    unsigned long pixel;
    if (!XAllocColorCells(owner.get(), cmap, False, nullptr, 0, &pixel, 1))
      return false;
    privateCells.insert(pixel);
    return true;
  }

  void ownerFrees(unsigned long pixel) {
    XFreeColors(owner.get(), cmap, &pixel, 1, 0);
    shared.erase(pixel);
    XSync(owner.get(), False);
  }

  std::unique_ptr<testsupport::XvfbServer> server;
  Connection owner;
  Connection asker;
  int mapEntries = 0;
  Colormap cmap = 0;
  std::set<unsigned long> shared;
  std::set<unsigned long> privateCells;
};

TEST_F(FullColormapTest, UnavailableColoursGetTheNearestSharedCell) {
  std::mt19937 random(20240611);
  std::uniform_int_distribution<int> channel(0, 65535);
  std::vector<tx::Rgb16> sharedColours;
  for (int i = 0; i < 24; i++)
    sharedColours.push_back(tx::Rgb16{uint16_t(channel(random)), uint16_t(channel(random)),
                                      uint16_t(channel(random))});
  // Private cells hold exactly the colours asked for below, but cannot be
  // shared: they must never be chosen.
  const tx::Rgb16 privateColour{0x5555, 0x5555, 0x5555};
  fillColormap(sharedColours, privateColour);

  std::vector<tx::Rgb16> wanted = {privateColour, {0x8888, 0x8888, 0x8888}};
  for (int i = 0; i < 30; i++)
    wanted.push_back(tx::Rgb16{uint16_t(channel(random)), uint16_t(channel(random)),
                               uint16_t(channel(random))});
  std::vector<unsigned long> expected;
  for (const tx::Rgb16& w : wanted)
    expected.push_back(expectedPixel(w));

  std::vector<unsigned long> pixels =
    tx::allocNearestColours(asker.get(), cmap, mapEntries, wanted);
  ASSERT_EQ(pixels.size(), wanted.size());
  for (size_t i = 0; i < wanted.size(); i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(pixels[i], expected[i]);
    EXPECT_EQ(privateCells.count(pixels[i]), 0u);
  }
}

TEST_F(FullColormapTest, CellsTakenOnlyForTheSearchAreFreedAgain) {
  const std::vector<tx::Rgb16> sharedColours = {
    {0xf000, 0x1000, 0x1000}, // red: nearest to what is asked for
    {0x1000, 0xf000, 0x1000}, // green: far from it
  };
  fillColormap(sharedColours, {0, 0, 0x8000});
  XColor red{0, 0xf000, 0x1000, 0x1000, DoRed | DoGreen | DoBlue, 0};
  XColor green{0, 0x1000, 0xf000, 0x1000, DoRed | DoGreen | DoBlue, 0};
  ASSERT_TRUE(XAllocColor(owner.get(), cmap, &red));
  ASSERT_TRUE(XAllocColor(owner.get(), cmap, &green));
  XFreeColors(owner.get(), cmap, &red.pixel, 1, 0);   // the extra references just taken
  XFreeColors(owner.get(), cmap, &green.pixel, 1, 0);

  std::vector<unsigned long> pixels =
    tx::allocNearestColours(asker.get(), cmap, mapEntries, {{0xe000, 0x2000, 0x2000}});
  XSync(asker.get(), False);
  ASSERT_EQ(pixels.size(), 1u);
  EXPECT_EQ(pixels[0], red.pixel);

  // The green cell was only probed: once its owner lets go, it is free.
  ownerFrees(green.pixel);
  EXPECT_TRUE(ownerCanTakeACell());
  // The red cell was given out: the asker still holds it.
  ownerFrees(red.pixel);
  EXPECT_FALSE(ownerCanTakeACell());
}

TEST_F(FullColormapTest, ColoursThatFitAreAllocatedExactly) {
  // Nothing filled: every colour gets its own shared cell.
  std::vector<tx::Rgb16> wanted = {{0, 0, 0}, {0x5555, 0x5555, 0x5555}, {0xffff, 0xffff, 0xffff}};
  std::vector<unsigned long> pixels =
    tx::allocNearestColours(asker.get(), cmap, mapEntries, wanted);
  ASSERT_EQ(pixels.size(), wanted.size());
  for (size_t i = 0; i < wanted.size(); i++) {
    SCOPED_TRACE(i);
    XColor colour;
    colour.pixel = pixels[i];
    XQueryColor(asker.get(), cmap, &colour);
    EXPECT_EQ(colour.red >> 8, wanted[i].red >> 8);
  }
  EXPECT_NE(pixels[0], pixels[1]);
}

} // namespace
