#pragma once

// The running timers of one thread, and the firing of those that are due.
//
// Invariants: every running timer is either in the list or in the firing
// queue, never both, and its manager reference points here; the list is
// ordered by due time, equal due times in the order they were started; a
// listed timer has prev/next links (null at the ends), any other timer has
// none. The firing queue holds only timers taken off the list by the firing
// run in progress; a slot whose timer was stopped is emptied (null).
//
// The innermost manager constructed on a thread is its current one; timers
// started on that thread join it.

#include "base/plat/CircularVector.h"

#include <cstdint>

namespace plat {

class Clock;
class Timer;

class TimerManager {
public:
  // Becomes the calling thread's current manager. Unless `nested`, there
  // must be none yet. `clock` (not owned; default the monotonic clock)
  // supplies "now".
  explicit TimerManager(bool nested = false, Clock* clock = nullptr);
  // Stops every timer still running here and restores the previous current
  // manager; must be the thread's current manager.
  virtual ~TimerManager();
  TimerManager(const TimerManager&) = delete;
  TimerManager& operator=(const TimerManager&) = delete;

  // The calling thread's current manager, or null.
  static TimerManager* current();

  // How long the loop may wait: -1 with no timer running, else milliseconds
  // until the earliest due time, rounded up and clamped to 0..2147483647.
  int32_t msUntilNext();

  // Fires every due timer in due order. Returns -1 with no timer running,
  // the milliseconds until the earliest timer when none is due yet, else 0.
  // An exception from a callback propagates; timers that were due but not
  // reached stay due for the next run.
  int32_t processTimers();

  // Now on this manager's clock, after handling a reported clock jump.
  int64_t now();

  // Ticks past the earliest due time after which a wall-based source may
  // consider a reading a forward jump.
  static constexpr int64_t jumpAllowance = 2400000000;

  // The line logged when a clock jump restarts the timers.
  static const char* jumpMessage(int64_t previousReading, int64_t newReading);

private:
  friend class Timer;

  struct Now {
    int64_t ticks;
    bool jumped;
  };

  Now checkedNow();
  void restartAfterJump(int64_t now);

  void insert(Timer& timer);
  void unlink(Timer& timer);
  void remove(Timer& timer);
  void requeueUnfired();
  void rearm(Timer& timer, const Now& now);

  TimerManager* previous_;
  Timer* head_ = nullptr;
  Timer* tail_ = nullptr;
  CircularVector<Timer*> firing_;
  Clock* clock_;
  int64_t lastReading_ = INT64_MIN;
};

} // namespace plat
