#include "base/plat/BoolParameter.h"
#include "base/plat/Configuration.h"
#include "base/plat/IntParameter.h"
#include "base/plat/ParameterChangedCallback.h"

#include <gtest/gtest.h>

#include <climits>
#include <random>

namespace {

class Recorder : public plat::ParameterChangedCallback {
public:
  void parameterChanged(plat::ConfigParameter&, int priority) override {
    priorities.push_back(priority);
  }
  std::vector<int> priorities;
};

// The value in force must always be the stored value of the highest priority,
// whatever order sets, unsets and resets come in, and callbacks hear of every
// change to what is stored, with its priority (a reset: the default's).
TEST(ParameterPriorityRandom, MatchesAReferenceMap) {
  std::mt19937 random(20240611);
  plat::Configuration group("Random");
  plat::IntParameter value("Value", "v", -1, INT_MIN, INT_MAX, false, &group);
  Recorder recorder;
  value.addCallback(&recorder);
  std::map<int, int> reference{{0, -1}};
  std::vector<int> told;
  for (int step = 0; step < 5000; step++) {
    SCOPED_TRACE(step);
    int priority = int(random() % 6) * 10;
    bool notify = random() % 2;
    switch (random() % 8) {
    case 0:
      value.unset(priority, notify);
      if (priority != 0 && reference.erase(priority) && notify)
        told.push_back(priority);
      break;
    case 1:
      ASSERT_EQ(value.reset(notify), reference.size() > 1);
      if (reference.size() > 1 && notify)
        told.push_back(0);
      reference = {{0, reference[0]}};
      break;
    default: {
      int v = int(random() % 10);
      ASSERT_TRUE(value.set(v, priority));
      auto [stored, added] = reference.try_emplace(priority, v);
      if (added || stored->second != v)
        told.push_back(priority);
      stored->second = v;
    }
    }
    ASSERT_EQ(value.getValue(), reference.rbegin()->second);
    ASSERT_EQ(value.getPriority(), reference.rbegin()->first);
    ASSERT_EQ(value.values().size(), reference.size());
    ASSERT_EQ(value.valueText(priority),
              reference.count(priority) ? std::to_string(reference[priority]) : "");
    ASSERT_EQ(recorder.priorities, told);
  }
}

TEST(ParameterPriority, NoPolicyRefusesPriorityThirtyAndAbove) {
  plat::Configuration group("Priorities");
  plat::IntParameter level("Level", "A level", 5, 0, 1000, false, &group);
  plat::BoolParameter local("Local", "Local only", false, false, &group, "advancedUi, noPolicy");
  EXPECT_TRUE(local.setParam("1", 29));
  EXPECT_FALSE(local.setParam("0", 30));
  EXPECT_FALSE(local.set(false, 1000));
  EXPECT_TRUE(local.getValue());
  EXPECT_EQ(local.getPriority(), 29);
  EXPECT_TRUE(level.set(1, 30)) << "without the tag the same priority is fine";
}

} // namespace
