#include "kwo-serve/RestartBudget.h"

namespace kwoserve {

bool RestartBudget::failed(Clock::time_point now) {
  failures_.push_back(now);
  while (now - failures_.front() >= window)
    failures_.pop_front();
  return int(failures_.size()) < maxFailures;
}

} // namespace kwoserve
