#include "kwo-serve/RestartBudget.h"

#include <gtest/gtest.h>

namespace kwoserve {

TEST(RestartBudget, GivesUpAtTheFifthFailureWithinAMinuteOnly) {
  using namespace std::chrono_literals;
  RestartBudget::Clock::time_point t0{};
  RestartBudget budget;
  for (int i = 0; i < 4; i++)
    EXPECT_TRUE(budget.failed(t0 + i * 10s)) << i;
  // The first failure is a minute old by now: still four within the window.
  EXPECT_TRUE(budget.failed(t0 + 60s));
  EXPECT_FALSE(budget.failed(t0 + 61s));
}

} // namespace kwoserve
