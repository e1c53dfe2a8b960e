#include "base/rfb/ColourMapRW.h"

#include "base/rfb/tests/SimpleColourMap.h"

#include <gtest/gtest.h>

namespace {

using rfb::Colour;
using rfb::test::SimpleColourMap;

TEST(ColourMap, LookupClosest) {
  // Ties go to the lowest index, alpha is ignored.
  SimpleColourMap tie({{0, 0, 0, 255}, {200, 0, 0, 255}, {200, 0, 0, 0}});
  EXPECT_EQ(tie.lookupClosest(Colour{200, 0, 0, 0}), 1);
  EXPECT_EQ(tie.lookupClosest(Colour{100, 0, 0, 255}), 0);
  EXPECT_EQ(SimpleColourMap().lookupClosest(Colour{1, 2, 3, 4}), 0);
}

} // namespace
