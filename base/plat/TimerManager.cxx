#include "base/plat/TimerManager.h"

#include "base/plat/Assert.h"
#include "base/plat/Clock.h"
#include "base/plat/LogSrc.h"
#include "base/plat/Timer.h"

#include <limits>

namespace plat {

namespace {

LogSrc vlog("TimerManager");

thread_local TimerManager* thrInst = nullptr;

int32_t clampedMsUntil(int64_t ticks) {
  int64_t ms = ticksToMsRoundedUp(ticks);
  if (ms < 0)
    return 0;
  if (ms > std::numeric_limits<int32_t>::max())
    return std::numeric_limits<int32_t>::max();
  return int32_t(ms);
}

} // namespace

TimerManager::TimerManager(bool nested, Clock* clock)
  : previous_(thrInst), clock_(clock ? clock : &Clock::monotonic()) {
  PLAT_ASSERT(nested || !thrInst);
  thrInst = this;
}

TimerManager::~TimerManager() {
  while (head_) {
    Timer* timer = head_;
    unlink(*timer);
    timer->manager_ = nullptr;
  }
  while (!firing_.empty()) {
    if (Timer* timer = firing_.popFront())
      timer->manager_ = nullptr;
  }
  PLAT_ASSERT(thrInst == this);
  thrInst = previous_;
}

TimerManager* TimerManager::current() {
  return thrInst;
}

int32_t TimerManager::msUntilNext() {
  if (!head_)
    return -1;
  int64_t now = checkedNow().ticks;
  return clampedMsUntil(head_->due_ - now);
}

int32_t TimerManager::processTimers() {
  if (!head_)
    return -1;
  Now now = checkedNow();
  if (head_->due_ > now.ticks)
    return clampedMsUntil(head_->due_ - now.ticks);

  // Only timers due now join this run: anything (re)started by a callback
  // goes to the list and waits for the next run, so a 0 ms timer cannot
  // starve the loop.
  while (head_ && head_->due_ <= now.ticks) {
    Timer* timer = head_;
    unlink(*timer);
    firing_.pushBack(timer);
  }

  try {
    while (!firing_.empty()) {
      Timer* timer = firing_.popFront();
      if (!timer)
        continue; // stopped by an earlier callback of this run
      timer->manager_ = nullptr;
      if (!timer->callback_->timerFired(*timer))
        continue; // the timer may no longer exist
      if (!timer->isRunning())
        rearm(*timer, now);
    }
  } catch (...) {
    requeueUnfired();
    throw;
  }
  return 0;
}

int64_t TimerManager::now() {
  return checkedNow().ticks;
}

const char* TimerManager::jumpMessage(int64_t previousReading, int64_t newReading) {
  if (newReading < previousReading)
    return "Time has moved backwards - restarting timers";
  return "Time has jumped forwards - restarting timers";
}

TimerManager::Now TimerManager::checkedNow() {
  int64_t limit = head_ ? head_->due_ + jumpAllowance : -1;
  Clock::Reading reading = clock_->read(limit);
  int64_t previous = lastReading_;
  lastReading_ = reading.ticks;
  if (reading.jumped) {
    vlog.status("%s", jumpMessage(previous, reading.ticks));
    restartAfterJump(reading.ticks);
  }
  return {reading.ticks, reading.jumped};
}

// Due times taken before a jump mean nothing after it: every timer starts a
// fresh period from the new "now", and those already picked for firing fire.
void TimerManager::restartAfterJump(int64_t now) {
  Timer* timer = head_;
  head_ = tail_ = nullptr;
  while (timer) {
    Timer* next = timer->next_;
    timer->prev_ = timer->next_ = nullptr;
    timer->due_ = now + int64_t(timer->periodMs_) * ticksPerMs;
    insert(*timer);
    timer = next;
  }
  for (uint32_t i = 0; i < firing_.size(); i++) {
    if (firing_[i])
      firing_[i]->due_ = now;
  }
}

// Inserts after the last timer due at or before it, so that equal due times
// fire in start order. Searching from the tail finds the same place as a
// search from the head, and is short for the usual case of a later timer.
void TimerManager::insert(Timer& timer) {
  Timer* after = tail_;
  while (after && after->due_ > timer.due_)
    after = after->prev_;
  timer.prev_ = after;
  timer.next_ = after ? after->next_ : head_;
  if (timer.next_)
    timer.next_->prev_ = &timer;
  else
    tail_ = &timer;
  if (after)
    after->next_ = &timer;
  else
    head_ = &timer;
  timer.manager_ = this;
}

void TimerManager::unlink(Timer& timer) {
  if (timer.prev_)
    timer.prev_->next_ = timer.next_;
  else
    head_ = timer.next_;
  if (timer.next_)
    timer.next_->prev_ = timer.prev_;
  else
    tail_ = timer.prev_;
  timer.prev_ = timer.next_ = nullptr;
}

void TimerManager::remove(Timer& timer) {
  PLAT_ASSERT(timer.manager_ == this);
  timer.manager_ = nullptr;
  if (timer.prev_ || head_ == &timer) {
    unlink(timer);
    return;
  }
  for (uint32_t i = 0; i < firing_.size(); i++) {
    if (firing_[i] == &timer)
      firing_[i] = nullptr;
  }
}

// A callback threw: the timers this run had not reached yet are still due
// and still running, so they go back to the list (keeping their due times)
// and fire in the next run instead of being silently lost.
void TimerManager::requeueUnfired() {
  while (!firing_.empty()) {
    if (Timer* timer = firing_.popFront())
      insert(*timer);
  }
}

// Missed periods are not made up: a late timer is next due one period after
// this run, not at its old cadence.
void TimerManager::rearm(Timer& timer, const Now& now) {
  int64_t period = int64_t(timer.periodMs_) * ticksPerMs;
  int64_t due = now.jumped ? now.ticks + period : timer.due_ + period;
  if (due <= now.ticks)
    due = now.ticks + period;
  timer.due_ = due;
  insert(timer);
}

} // namespace plat
