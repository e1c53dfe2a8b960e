#include "base/rfb/ColourMapRW.h"

#include "base/rfb/tests/SimpleColourMap.h"

#include <gtest/gtest.h>

#include <climits>
#include <random>

namespace {

using rfb::Colour;
using rfb::test::SimpleColourMap;

TEST(ColourMap, LookupClosestAgainstReference) {
  // Ties go to the lowest index, alpha is ignored.
  SimpleColourMap tie({{0, 0, 0, 255}, {200, 0, 0, 255}, {200, 0, 0, 0}});
  EXPECT_EQ(tie.lookupClosest(Colour{200, 0, 0, 0}), 1);
  EXPECT_EQ(tie.lookupClosest(Colour{100, 0, 0, 255}), 0);
  EXPECT_EQ(SimpleColourMap().lookupClosest(Colour{1, 2, 3, 4}), 0);

  std::mt19937 rng(31337);
  std::vector<Colour> colours;
  for (int i = 0; i < 64; i++)
    colours.push_back(Colour{uint32_t(rng() % 256), uint32_t(rng() % 256), uint32_t(rng() % 256), 255});
  SimpleColourMap map(colours);
  for (int n = 0; n < 2000; n++) {
    Colour c{uint32_t(rng() % 256), uint32_t(rng() % 256), uint32_t(rng() % 256), uint32_t(rng() % 256)};
    long best = LONG_MAX;
    int expected = 0;
    for (int i = 0; i < 64; i++) {
      long dr = long(colours[i].r) - c.r, dg = long(colours[i].g) - c.g, db = long(colours[i].b) - c.b;
      if (dr * dr + dg * dg + db * db < best) {
        best = dr * dr + dg * dg + db * db;
        expected = i;
      }
    }
    ASSERT_EQ(map.lookupClosest(c), expected);
  }
}

} // namespace
