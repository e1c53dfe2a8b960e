#pragma once

// Monotonic time for timers: signed 64-bit counts of 100 ns ticks since the
// first reading in the process. Changes of the wall clock do not move it.

#include <cstdint>
#include <ctime>

namespace plat {

constexpr int64_t ticksPerMs = 10000;
constexpr int64_t ticksPerSecond = 10000000;

// A source of "now" for a timer manager. The process uses the monotonic
// source; tests and alternative sources (one derived from the wall clock, say)
// implement their own.
class Clock {
public:
  struct Reading {
    int64_t ticks;
    // The source saw time jump since its previous reading; `ticks` is then
    // the source's own new reading, not one adjusted to look continuous.
    bool jumped;
  };

  virtual ~Clock();

  // `limit` is the latest reading the caller expects (-1: no expectation);
  // a source that can jump may treat a reading beyond it as a forward jump.
  virtual Reading read(int64_t limit) = 0;

  // The process-wide monotonic source; it never reports a jump.
  static Clock& monotonic();
};

// Ticks since the first reading in the process (thread-safe).
int64_t monoTime();

// Whether CLOCK_MONOTONIC_COARSE may stand in for CLOCK_MONOTONIC: only when
// its resolution could be queried and is 1 ms or finer.
bool coarseClockFineEnough(bool resolutionKnown, const timespec& resolution);

// Whole milliseconds in a tick count, rounded up (towards +infinity).
int64_t ticksToMsRoundedUp(int64_t ticks);

} // namespace plat
