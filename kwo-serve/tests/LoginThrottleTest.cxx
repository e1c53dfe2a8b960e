#include "kwo-serve/LoginThrottle.h"

#include <gtest/gtest.h>

namespace kwoserve {

using std::chrono::seconds;

TEST(LoginThrottle, EachFailureDoublesThePauseUpToTheLimitAndSuccessForgets) {
  LoginThrottle throttle;
  LoginThrottle::Clock::time_point t{};
  EXPECT_FALSE(throttle.refused("a", t));
  const std::vector<int> pauses{1, 2, 4, 8, 16, 32, 60, 60};
  for (int pause : pauses) {
    SCOPED_TRACE(pause);
    EXPECT_EQ(throttle.failed("a", t), seconds(pause));
    EXPECT_TRUE(throttle.refused("a", t + seconds(pause) - std::chrono::milliseconds(1)));
    // Other addresses are not affected.
    EXPECT_FALSE(throttle.refused("b", t));
    t += seconds(pause);
    EXPECT_FALSE(throttle.refused("a", t));
  }
  throttle.succeeded("a");
  EXPECT_EQ(throttle.failed("a", t), seconds(1));
}

TEST(LoginThrottle, RemembersABoundedNumberOfAddresses) {
  LoginThrottle throttle;
  LoginThrottle::Clock::time_point t{};
  for (size_t i = 0; i <= LoginThrottle::maxAddresses; i++)
    throttle.failed("address " + std::to_string(i), t + seconds(i));
  // The oldest went to make room; the newest is still refused.
  EXPECT_FALSE(throttle.refused("address 0", t));
  EXPECT_TRUE(throttle.refused("address " + std::to_string(LoginThrottle::maxAddresses),
                               t + seconds(LoginThrottle::maxAddresses)));
}

} // namespace kwoserve
