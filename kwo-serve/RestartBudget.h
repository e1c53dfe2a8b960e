#pragma once

// How often kwo-serve replaces an agent that died before it gives up: a
// crash now and then is survived, an agent that cannot live on this display
// is not restarted for ever.

#include <chrono>
#include <deque>

namespace kwoserve {

class RestartBudget {
public:
  using Clock = std::chrono::steady_clock;

  static constexpr int maxFailures = 5;
  static constexpr auto window = std::chrono::minutes(1);

  // Counts a failure at `now`; false when it is the maxFailures-th within
  // the window (give up).
  bool failed(Clock::time_point now);

private:
  std::deque<Clock::time_point> failures_;
};

} // namespace kwoserve
