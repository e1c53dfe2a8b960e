#include "base/io/FdHandler.h"
#include "base/io/HandlerSet.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

namespace io {
namespace {

class Dummy : public FdHandler {
public:
  void handleRead() override {}
  void handleWrite() override {}
};

std::vector<FdHandler*> members(const HandlerSet& set) {
  return std::vector<FdHandler*>(set.begin(), set.end());
}

std::vector<FdHandler*> members(const std::set<FdHandler*>& set) {
  return std::vector<FdHandler*>(set.begin(), set.end());
}

TEST(HandlerSetTest, RandomOperationsMatchAnOrderedSet) {
  std::vector<Dummy> pool(40);
  std::mt19937 rng(20240611);
  HandlerSet set, other;
  std::set<FdHandler*> reference, otherReference;
  for (int i = 0; i < 3; i++) // into an empty set first
    other.insert(pool[i]), otherReference.insert(&pool[i]);
  for (int step = 0; step < 5000; step++) {
    FdHandler& handler = pool[rng() % pool.size()];
    switch (step == 0 ? 4 : rng() % 5) {
    case 0: EXPECT_EQ(set.insert(handler), reference.insert(&handler).second); break;
    case 1: EXPECT_EQ(set.erase(handler), reference.erase(&handler) == 1); break;
    case 2: EXPECT_EQ(set.contains(handler), reference.count(&handler) == 1); break;
    case 3: other.insert(handler); otherReference.insert(&handler); break;
    default:
      if (step == 0 || rng() % 10 == 0) { // merges without duplicates and empties the source
        set.takeAll(other);
        reference.merge(otherReference);
        otherReference.clear();
        EXPECT_TRUE(other.empty());
      }
    }
    ASSERT_EQ(members(set), members(reference)) << "step " << step;
    ASSERT_EQ(set.size(), reference.size());
  }
  std::set<FdHandler*> taken;
  while (!set.empty())
    EXPECT_TRUE(taken.insert(&set.takeOne()).second) << "each member once";
  EXPECT_EQ(members(taken), members(reference));
}

} // namespace
} // namespace io
