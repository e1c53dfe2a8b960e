#include "base/plat/Clock.h"

#include "base/plat/Assert.h"

#include <mutex>

namespace plat {

namespace {

struct MonoSource {
  clockid_t id = CLOCK_MONOTONIC;
  int64_t base = 0;
};

int64_t readTicks(clockid_t id) {
  timespec ts{};
  bool gotMonoTime = clock_gettime(id, &ts) == 0;
  PLAT_ASSERT(gotMonoTime);
  return int64_t(ts.tv_sec) * ticksPerSecond + ts.tv_nsec / 100;
}

// The coarse clock is far cheaper to read, but with a 4 ms tick (HZ=250) it
// would wake timers late and make the loop spin on a zero wait.
clockid_t chooseClock() {
  timespec res{};
  bool known = clock_getres(CLOCK_MONOTONIC_COARSE, &res) == 0;
  return coarseClockFineEnough(known, res) ? CLOCK_MONOTONIC_COARSE : CLOCK_MONOTONIC;
}

const MonoSource& monoSource() {
  static std::once_flag once;
  static MonoSource source;
  std::call_once(once, [] {
    source.id = chooseClock();
    source.base = readTicks(source.id);
  });
  return source;
}

class MonotonicClock : public Clock {
public:
  Reading read(int64_t) override { return {monoTime(), false}; }
};

} // namespace

Clock::~Clock() = default;

Clock& Clock::monotonic() {
  static MonotonicClock clock;
  return clock;
}

int64_t monoTime() {
  const MonoSource& source = monoSource();
  return readTicks(source.id) - source.base;
}

bool coarseClockFineEnough(bool resolutionKnown, const timespec& resolution) {
  if (!resolutionKnown)
    return false;
  int64_t ticks = int64_t(resolution.tv_sec) * ticksPerSecond + resolution.tv_nsec / 100;
  return ticks <= ticksPerMs;
}

int64_t ticksToMsRoundedUp(int64_t ticks) {
  int64_t ms = ticks / ticksPerMs;
  if (ticks % ticksPerMs > 0)
    ms++;
  return ms;
}

} // namespace plat
