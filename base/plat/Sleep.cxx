#include "base/plat/Sleep.h"

#include "base/plat/Clock.h"
#include "base/plat/Exception.h"

#include <cerrno>
#include <limits>
#include <sys/select.h>

namespace plat {

namespace {

// One select() with no descriptors; EINTR counts as an early return. The
// extra millisecond keeps a wake-up a hair early (coarse clocks) from
// costing a second wait.
void waitAtMost(int64_t ms) {
  int64_t limit = ms >= std::numeric_limits<int32_t>::max() ? ms : ms + 1;
  timeval tv{};
  tv.tv_sec = time_t(limit / 1000);
  tv.tv_usec = suseconds_t((limit % 1000) * 1000);
  if (select(0, nullptr, nullptr, nullptr, &tv) < 0 && errno != EINTR)
    throw SystemException("select", errno);
}

} // namespace

void sleep(int32_t ms) {
  if (ms <= 0)
    return;
  int64_t end = monoTime() + int64_t(ms) * ticksPerMs;
  int64_t remaining = ms;
  while (remaining > 0) {
    waitAtMost(remaining);
    remaining = ticksToMsRoundedUp(end - monoTime());
  }
}

} // namespace plat
