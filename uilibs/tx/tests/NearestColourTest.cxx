// gtest first: Xlib's macros (None, Bool) break its headers.
#include <gtest/gtest.h>

#include "uilibs/tx/TXUtil.h"

#include "XTestHelpers.h"

#include "testsupport/XvfbServer.h"

#include <cstdint>
#include <vector>

namespace {

TEST(NearestCell, PicksTheLeastHalvedDistance) {
  const struct {
    const char* name;
    std::vector<tx::Rgb16> cells;
    std::vector<bool> usable;
    tx::Rgb16 wanted;
    int expected;
  } cases[] = {
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
  for (const auto& c : cases)
    EXPECT_EQ(tx::nearestCell(c.cells, c.usable, c.wanted), c.expected) << c.name;
}

// On an 8-bit PseudoColor server whose colormap is full (one client owns
// three shared cells and every other cell privately), another client gets
// the nearest shared cell for each colour and holds only the cells it was
// given.
TEST(NearestColours, SharedFromAFullColormap) {
  testsupport::XvfbServer::Options options;
  options.depth = 8;
  testsupport::XvfbServer server(options);
  txtest::Connection owner = txtest::connect(server.displayName());
  txtest::Connection asker = txtest::connect(server.displayName());
  ASSERT_TRUE(owner && asker);
  Colormap cmap = DefaultColormap(owner.get(), DefaultScreen(owner.get()));
  // Colours of no cell the server starts with.
  std::vector<unsigned long> shared;
  for (tx::Rgb16 c : {tx::Rgb16{0xd000, 0x3000, 0x2000}, {0x2000, 0xd000, 0x3000},
                      {0x3000, 0x2000, 0xd000}}) {
    XColor colour{0, c.red, c.green, c.blue, DoRed | DoGreen | DoBlue, 0};
    ASSERT_TRUE(XAllocColor(owner.get(), cmap, &colour));
    shared.push_back(colour.pixel);
  }
  // Private cells hold exactly a colour asked for below, but cannot be
  // shared: they must never be chosen.
  const tx::Rgb16 reddish{0xd100, 0x3100, 0x2100}, bluish{0x3100, 0x2100, 0xd100};
  unsigned long pixel;
  while (XAllocColorCells(owner.get(), cmap, False, nullptr, 0, &pixel, 1)) {
    XColor colour{pixel, reddish.red, reddish.green, reddish.blue, DoRed | DoGreen | DoBlue, 0};
    XStoreColor(owner.get(), cmap, &colour);
  }
  std::vector<unsigned long> pixels =
    tx::allocNearestColours(asker.get(), cmap, 256, {reddish, bluish});
  XSync(asker.get(), False);
  EXPECT_EQ(pixels, (std::vector<unsigned long>{shared[0], shared[2]}));

  // Cells only probed were freed again: once their owner lets go of its
  // shared cells, only the greenish one, never given, is free.
  for (unsigned long cell : shared)
    XFreeColors(owner.get(), cmap, &cell, 1, 0);
  size_t freed = 0;
  while (XAllocColorCells(owner.get(), cmap, False, nullptr, 0, &pixel, 1))
    freed++;
  EXPECT_EQ(freed, 1u);
}

} // namespace
