// gtest first: Xlib's macros (None, Bool) break its headers.
#include <gtest/gtest.h>

#include "uilibs/tx/TXUtil.h"

#include "XTestHelpers.h"

#include "testsupport/XvfbServer.h"

#include <cstdint>
#include <random>
#include <set>
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
// some shared cells of random colours and every other cell privately),
// another client gets the nearest shared cell for each colour and holds
// only the cells it was given.
TEST(NearestColours, SharedFromAFullColormap) {
  std::mt19937 random(20240611);
  auto randomColour = [&] {
    return tx::Rgb16{uint16_t(random()), uint16_t(random()), uint16_t(random())};
  };
  testsupport::XvfbServer::Options options;
  options.depth = 8;
  testsupport::XvfbServer server(options);
  txtest::Connection owner = txtest::connect(server.displayName());
  txtest::Connection asker = txtest::connect(server.displayName());
  ASSERT_TRUE(owner && asker);
  const int entries = 256;
  Colormap cmap = DefaultColormap(owner.get(), DefaultScreen(owner.get()));

  // Nothing filled yet: a colour gets its own exact cell (freed with the
  // connection).
  {
    txtest::Connection early = txtest::connect(server.displayName());
    XColor colour{};
    colour.pixel = tx::allocNearestColours(early.get(), cmap, entries, {{0, 0x5555, 0}}).at(0);
    XQueryColor(early.get(), cmap, &colour);
    EXPECT_EQ(colour.green >> 8, 0x55);
  }
  XSync(owner.get(), False);

  // Private cells hold exactly a colour asked for below, but cannot be
  // shared: they must never be chosen.
  const tx::Rgb16 privateColour{0x5555, 0x5555, 0x5555};
  std::set<unsigned long> shared, privateCells;
  for (int i = 0; i < 24; i++) {
    tx::Rgb16 c = randomColour();
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

  // The reference: nearestCell (checked above) over the cells that are not
  // private.
  std::vector<XColor> cells(size_t(entries), XColor{});
  for (int i = 0; i < entries; i++)
    cells[size_t(i)].pixel = unsigned(i);
  XQueryColors(owner.get(), cmap, cells.data(), entries);
  std::vector<tx::Rgb16> rgb;
  std::vector<bool> usable;
  for (const XColor& cell : cells) {
    rgb.push_back({cell.red, cell.green, cell.blue});
    usable.push_back(privateCells.count(cell.pixel) == 0);
  }
  std::vector<tx::Rgb16> wanted = {privateColour};
  for (int i = 0; i < 30; i++)
    wanted.push_back(randomColour());
  std::vector<unsigned long> pixels = tx::allocNearestColours(asker.get(), cmap, entries, wanted);
  XSync(asker.get(), False);
  ASSERT_EQ(pixels.size(), wanted.size());
  for (size_t i = 0; i < wanted.size(); i++)
    EXPECT_EQ(pixels[i], cells[size_t(tx::nearestCell(rgb, usable, wanted[i]))].pixel) << i;

  // Cells only probed were freed again: once their owner lets go of its
  // shared cells, all but the given ones are free.
  size_t held = 0;
  for (unsigned long given : std::set<unsigned long>(pixels.begin(), pixels.end()))
    held += shared.count(given);
  for (unsigned long cell : shared)
    XFreeColors(owner.get(), cmap, &cell, 1, 0);
  size_t freed = 0;
  while (XAllocColorCells(owner.get(), cmap, False, nullptr, 0, &pixel, 1))
    freed++;
  EXPECT_EQ(freed, shared.size() - held);
}

} // namespace
