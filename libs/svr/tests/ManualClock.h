#pragma once

// A clock that moves only when a test tells it to, for driving timers
// without sleeping.

#include "base/plat/Clock.h"

#include <cstdint>

namespace svrtest {

class ManualClock : public plat::Clock {
public:
  Reading read(int64_t) override { return {ticks, false}; }
  void advanceMs(int64_t ms) { ticks += ms * plat::ticksPerMs; }
  int64_t nowMs() const { return ticks / plat::ticksPerMs; }
  int64_t ticks = 0;
};

} // namespace svrtest
