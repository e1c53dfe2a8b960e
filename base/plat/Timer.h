#pragma once

// A one-shot or periodic timer run by the calling thread's TimerManager.
// Timers belong to one thread and are never locked.

#include <cstdint>

namespace plat {

class TimerManager;

class Timer {
public:
  class Callback {
  public:
    virtual ~Callback() = default;
    // The timer is stopped while this runs. Returning true starts it again
    // with the same period, unless the callback already started it itself.
    // A callback that destroys its timer must return false.
    virtual bool timerFired(Timer& timer) = 0;
  };

  // A stopped timer. The callback is not owned and must outlive the timer's
  // running periods.
  explicit Timer(Callback& callback);
  // Stops the timer: a pending timer is never called after this.
  ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  // (Re)starts the timer in the calling thread's current manager, due `ms`
  // milliseconds from now; zero or negative makes it due at once (in the
  // next firing run, never in the one in progress). There must be a current
  // manager.
  void start(int32_t ms);
  // Stops a running timer; a stopped timer is left alone.
  void stop();

  bool isRunning() const { return manager_ != nullptr; }
  // The value last given to start().
  int32_t period() const { return periodMs_; }
  // Due time in monotonic ticks (meaningful while running).
  int64_t dueTime() const { return due_; }
  // Due time minus now, in ticks; negative when overdue.
  int64_t remaining() const;

private:
  friend class TimerManager;

  Timer* next_ = nullptr;
  Timer* prev_ = nullptr;
  int64_t due_ = 0;
  int32_t periodMs_ = 0;
  Callback* callback_;
  TimerManager* manager_ = nullptr;
};

} // namespace plat
