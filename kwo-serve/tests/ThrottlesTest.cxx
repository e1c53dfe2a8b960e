#include "kwo-serve/LoginThrottle.h"
#include "kwo-serve/RestartBudget.h"

#include <gtest/gtest.h>

namespace kwoserve {

using namespace std::chrono_literals;

TEST(RestartBudget, GivesUpAtTheFifthFailureWithinAMinuteOnly) {
  RestartBudget::Clock::time_point t0{};
  RestartBudget budget;
  for (int i = 0; i < 4; i++)
    EXPECT_TRUE(budget.failed(t0 + i * 10s)) << i;
  // The first failure is a minute old by now: still four within the window.
  EXPECT_TRUE(budget.failed(t0 + 60s));
  EXPECT_FALSE(budget.failed(t0 + 61s));
}

TEST(LoginThrottle, EachFailureDoublesThePauseUpToTheLimitSuccessForgetsAndAddressesAreBounded) {
  LoginThrottle throttle;
  LoginThrottle::Clock::time_point t{};
  EXPECT_FALSE(throttle.refused("a", t));
  for (int pause : {1, 2, 4, 8, 16, 32, 60, 60}) {
    SCOPED_TRACE(pause);
    EXPECT_EQ(throttle.failed("a", t), std::chrono::seconds(pause));
    EXPECT_TRUE(throttle.refused("a", t + std::chrono::seconds(pause) - 1ms));
    EXPECT_FALSE(throttle.refused("b", t));
    t += std::chrono::seconds(pause);
    EXPECT_FALSE(throttle.refused("a", t));
  }
  throttle.succeeded("a");
  EXPECT_EQ(throttle.failed("a", t), 1s);

  LoginThrottle many;
  for (size_t i = 0; i <= LoginThrottle::maxAddresses; i++)
    many.failed("address " + std::to_string(i), t + std::chrono::seconds(i));
  // The oldest went to make room; the newest is still refused.
  EXPECT_FALSE(many.refused("address 0", t));
  EXPECT_TRUE(many.refused("address " + std::to_string(LoginThrottle::maxAddresses),
                           t + std::chrono::seconds(LoginThrottle::maxAddresses)));
}

} // namespace kwoserve
