#include "base/plat/CircularVector.h"

#include <deque>
#include <gtest/gtest.h>
#include <random>

namespace {

using plat::CircularVector;

TEST(CircularVector, RandomPushesAndPopsMatchAQueue) {
  std::mt19937 rng(7321);
  for (int round = 0; round < 10; round++) {
    SCOPED_TRACE(round);
    CircularVector<int> ring;
    std::deque<int> reference;
    uint32_t expectedCapacity = 8;
    int nextValue = 0;
    for (int step = 0; step < 5000; step++) {
      // Bias towards pushing in early steps and popping later, so the ring
      // both grows and wraps around.
      if (reference.empty() || int(rng() % 100) < (step < 2500 ? 60 : 40)) {
        ring.pushBack(nextValue);
        reference.push_back(nextValue++);
      } else {
        ASSERT_EQ(ring.front(), reference.front());
        ASSERT_EQ(ring.popFront(), reference.front());
        reference.pop_front();
      }
      if (reference.size() > expectedCapacity)
        expectedCapacity *= 2;  // grows only when full, by doubling
      ASSERT_EQ(ring.size(), reference.size());
      ASSERT_EQ(ring.empty(), reference.empty());
      ASSERT_EQ(ring.capacity(), expectedCapacity);
    }
    for (uint32_t i = 0; i < ring.size(); i++)
      ASSERT_EQ(ring[i], reference[i]);
  }
}

} // namespace
