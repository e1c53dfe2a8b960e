#pragma once

// The receiving side of a wake-up: work that other threads (or a signal
// handler) hand to the loop thread. See plat::Kicker.

namespace plat {

class Kicker;

class Kickee {
public:
  virtual ~Kickee() = default;

  // Called on the loop thread after one or more `kick`s of `kicker`. Kicks
  // that arrive before the call are merged into it; a kick that arrives
  // during it leads to another call.
  virtual void kicked(Kicker& kicker) = 0;
};

} // namespace plat
