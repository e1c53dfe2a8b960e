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
  HandlerSet set;
  std::set<FdHandler*> reference;
  for (int step = 0; step < 5000; step++) {
    FdHandler& handler = pool[rng() % pool.size()];
    switch (rng() % 3) {
    case 0:
      EXPECT_EQ(set.insert(handler), reference.insert(&handler).second);
      break;
    case 1:
      EXPECT_EQ(set.erase(handler), reference.erase(&handler) == 1);
      break;
    default:
      EXPECT_EQ(set.contains(handler), reference.count(&handler) == 1);
    }
    ASSERT_EQ(members(set), members(reference)) << "step " << step;
  }
}

TEST(HandlerSetTest, TakeAllMergesWithoutDuplicatesAndEmptiesTheSource) {
  std::vector<Dummy> pool(6);
  HandlerSet target, source;
  target.insert(pool[0]);
  target.insert(pool[2]);
  source.insert(pool[2]);
  source.insert(pool[5]);
  target.takeAll(source);
  EXPECT_TRUE(source.empty());
  std::set<FdHandler*> expected{&pool[0], &pool[2], &pool[5]};
  EXPECT_EQ(members(target), members(expected));
}

TEST(HandlerSetTest, TakeAllIntoAnEmptySetMovesEverything) {
  std::vector<Dummy> pool(3);
  HandlerSet target, source;
  for (auto& handler : pool)
    source.insert(handler);
  target.takeAll(source);
  EXPECT_TRUE(source.empty());
  EXPECT_EQ(target.size(), 3u);
}

TEST(HandlerSetTest, TakeOneRemovesEachMemberOnce) {
  std::vector<Dummy> pool(5);
  HandlerSet set;
  for (auto& handler : pool)
    set.insert(handler);
  std::set<FdHandler*> taken;
  while (!set.empty())
    EXPECT_TRUE(taken.insert(&set.takeOne()).second);
  EXPECT_EQ(taken.size(), pool.size());
}

} // namespace
} // namespace io
