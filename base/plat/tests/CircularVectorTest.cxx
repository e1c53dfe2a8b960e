#include "base/plat/CircularVector.h"

#include <deque>
#include <gtest/gtest.h>
#include <random>

namespace {

using plat::CircularVector;

uint32_t expectedCapacity(uint32_t peak) {
  uint32_t capacity = 8;
  while (capacity < peak)
    capacity *= 2;
  return capacity;
}

TEST(CircularVector, RandomPushesAndPopsMatchAQueue) {
  std::mt19937 rng(7321);
  for (int round = 0; round < 10; round++) {
    SCOPED_TRACE(round);
    CircularVector<int> ring;
    std::deque<int> reference;
    uint32_t peak = 0;
    int nextValue = 0;
    for (int step = 0; step < 5000; step++) {
      // Bias towards pushing in early steps and popping later, so the ring
      // both grows and wraps around.
      bool push = reference.empty() || int(rng() % 100) < (step < 2500 ? 60 : 40);
      if (push) {
        ring.pushBack(nextValue);
        reference.push_back(nextValue++);
      } else {
        ASSERT_EQ(ring.front(), reference.front());
        ASSERT_EQ(ring.popFront(), reference.front());
        reference.pop_front();
      }
      peak = std::max(peak, uint32_t(reference.size()));
      ASSERT_EQ(ring.size(), reference.size());
      ASSERT_EQ(ring.empty(), reference.empty());
      ASSERT_EQ(ring.capacity(), expectedCapacity(peak)) << "grows only when full, by doubling";
    }
    for (uint32_t i = 0; i < ring.size(); i++)
      ASSERT_EQ(ring[i], reference[i]);
  }
}

TEST(CircularVector, GrowingAWrappedRingKeepsOrder) {
  CircularVector<int> ring;
  for (int i = 0; i < 6; i++)
    ring.pushBack(i);
  for (int i = 0; i < 5; i++)
    ring.popFront();
  for (int i = 6; i < 14; i++)
    ring.pushBack(i); // wraps past the end of the 8-entry storage
  ASSERT_EQ(ring.capacity(), 16u);
  ASSERT_EQ(ring.size(), 9u);
  for (int expected = 5; expected < 14; expected++)
    EXPECT_EQ(ring.popFront(), expected);
  EXPECT_TRUE(ring.empty());
}

TEST(CircularVector, ReserveRoundsUpToAPowerOfTwoOfAtLeastEight) {
  struct Case {
    uint32_t requested;
    uint32_t capacity;
  };
  const Case cases[] = {{1, 8}, {8, 8}, {9, 16}, {100, 128}, {1024, 1024}, {1025, 2048}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.requested);
    CircularVector<int> ring(c.requested);
    EXPECT_EQ(ring.capacity(), c.capacity);
  }
  CircularVector<int> ring(64);
  ring.reserve(10);
  EXPECT_EQ(ring.capacity(), 64u) << "never shrinks";
}

TEST(CircularVector, ReserveKeepsWrappedContentsAndSlotsCanBeOverwritten) {
  CircularVector<int> ring;
  for (int i = 0; i < 8; i++)
    ring.pushBack(i);
  for (int i = 0; i < 4; i++)
    ring.popFront();
  for (int i = 8; i < 12; i++)
    ring.pushBack(i);
  ring[1] = -5;
  ring.reserve(100);
  EXPECT_EQ(ring.capacity(), 128u);
  std::vector<int> contents;
  while (!ring.empty())
    contents.push_back(ring.popFront());
  EXPECT_EQ(contents, (std::vector<int>{4, -5, 6, 7, 8, 9, 10, 11}));
}

TEST(CircularVector, ClearEmptiesButKeepsCapacity) {
  CircularVector<int> ring;
  for (int i = 0; i < 20; i++)
    ring.pushBack(i);
  ring.clear();
  EXPECT_TRUE(ring.empty());
  EXPECT_EQ(ring.capacity(), 32u);
  ring.pushBack(42);
  EXPECT_EQ(ring.front(), 42);
}

TEST(CircularVectorDeathTest, CapacityOutsideOneToTwoToThirtyIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  CircularVector<int> ring;
  EXPECT_DEATH(ring.reserve(0), "");
  EXPECT_DEATH(ring.reserve(0x40000000u), "");
}

} // namespace
