#include "base/rfb/ColourMapRW.h"

#include "base/rfb/tests/SimpleColourMap.h"

#include <gtest/gtest.h>

#include <climits>
#include <random>

namespace {

using rfb::Colour;
using rfb::test::SimpleColourMap;

TEST(ColourMap, LookupClosest) {
  {
    SimpleColourMap map({{0, 0, 0, 255},
                         {255, 255, 255, 255},
                         {200, 0, 0, 255},
                         {200, 0, 0, 0}, // same colour, different alpha
                         {0, 0, 250, 255}});
    struct Case {
      const char* name;
      Colour colour;
      int index;
    } cases[] = {
        {"exact black", {0, 0, 0, 255}, 0},
        {"near white", {240, 250, 245, 255}, 1},
        {"tie goes to the lowest index, alpha ignored", {200, 0, 0, 0}, 2},
        {"nearest blue", {10, 10, 200, 255}, 4},
        {"equidistant from black and red picks black", {100, 0, 0, 255}, 0},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      EXPECT_EQ(map.lookupClosest(c.colour), c.index);
    }
  }
  {
    SimpleColourMap map;
    EXPECT_EQ(map.lookupClosest(Colour{1, 2, 3, 4}), 0);
    EXPECT_FALSE(map.hasAlpha());
  }
  {
    std::mt19937 rng(31337);
    std::vector<Colour> colours;
    for (int i = 0; i < 64; i++)
      colours.push_back(
          Colour{uint32_t(rng() % 256), uint32_t(rng() % 256), uint32_t(rng() % 256), 255});
    SimpleColourMap map(colours);
    for (int n = 0; n < 2000; n++) {
      Colour c{uint32_t(rng() % 256), uint32_t(rng() % 256), uint32_t(rng() % 256),
               uint32_t(rng() % 256)};
      long best = LONG_MAX;
      int expected = 0;
      for (int i = 0; i < 64; i++) {
        long dr = long(colours[i].r) - c.r, dg = long(colours[i].g) - c.g,
             db = long(colours[i].b) - c.b;
        long d = dr * dr + dg * dg + db * db;
        if (d < best) {
          best = d;
          expected = i;
        }
      }
      ASSERT_EQ(map.lookupClosest(c), expected);
    }
  }
  {
    SimpleColourMap from({{1, 2, 3, 255}, {4, 5, 6, 255}});
    SimpleColourMap to({{9, 9, 9, 255}, {9, 9, 9, 255}, {7, 7, 7, 255}});
    to.copyFrom(from);
    Colour c;
    to.getColour(0, &c);
    EXPECT_EQ(c, (Colour{1, 2, 3, 255}));
    to.getColour(1, &c);
    EXPECT_EQ(c, (Colour{4, 5, 6, 255}));
    to.getColour(2, &c);
    EXPECT_EQ(c, (Colour{7, 7, 7, 255}));
    // No output beyond the size.
    Colour untouched{11, 12, 13, 14};
    to.getColour(3, &untouched);
    EXPECT_EQ(untouched, (Colour{11, 12, 13, 14}));
  }
}

} // namespace
