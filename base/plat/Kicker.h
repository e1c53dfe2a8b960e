#pragma once

// A wake-up for the loop thread. `kick` may be called from any thread and
// from a signal handler; the loop thread then calls the kickee's `kicked`.
//
// This layer only defines the contract. The descriptor loop implements it
// with a self-pipe: `kick` writes one byte (a full pipe already guarantees a
// wake-up, so the result is ignored) and, when the read end becomes readable,
// the loop drains the pipe and calls `notifyKickee`. An implementation must be
// created on the thread whose loop is to be woken.

namespace plat {

class Kickee;

class Kicker {
public:
  explicit Kicker(Kickee& kickee) : kickee_(kickee) {}
  virtual ~Kicker() = default;
  Kicker(const Kicker&) = delete;
  Kicker& operator=(const Kicker&) = delete;

  // Async-signal-safe and thread-safe; preserves errno; never throws.
  virtual void kick() noexcept = 0;

protected:
  // For implementations, on the loop thread: tell the kickee it was kicked.
  void notifyKickee();

private:
  Kickee& kickee_;
};

} // namespace plat
