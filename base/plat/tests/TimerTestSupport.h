#pragma once

// Fakes for driving timers without sleeping: a clock the test moves by hand
// and a callback that records which timers fired, in order.

#include "base/plat/Clock.h"
#include "base/plat/Timer.h"

#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace plat_test {

class FakeClock : public plat::Clock {
public:
  Reading read(int64_t limit) override {
    limits.push_back(limit);
    bool jumped = jumpOnNextRead;
    jumpOnNextRead = false;
    return {ticks, jumped};
  }

  void advanceMs(int64_t ms) { ticks += ms * plat::ticksPerMs; }
  // Moves to `newTicks` and reports a jump on the next reading.
  void jumpTo(int64_t newTicks) {
    ticks = newTicks;
    jumpOnNextRead = true;
  }

  int64_t ticks = 0;
  bool jumpOnNextRead = false;
  std::vector<int64_t> limits;
};

// Records its name in a shared log when its timer fires, then runs `onFire`
// (if any) and returns its answer; false otherwise.
class Probe : public plat::Timer::Callback {
public:
  Probe(std::string name, std::vector<std::string>& log) : name_(std::move(name)), log_(log) {}

  bool timerFired(plat::Timer& fired) override {
    EXPECT_EQ(&fired, &timer) << name_;
    EXPECT_FALSE(fired.isRunning()) << name_ << " must count as stopped in its callback";
    log_.push_back(name_);
    return onFire ? onFire() : false;
  }

  plat::Timer timer{*this};
  std::function<bool()> onFire;

private:
  std::string name_;
  std::vector<std::string>& log_;
};

} // namespace plat_test
