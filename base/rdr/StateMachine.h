#pragma once

// The current state of a resumable parser, held as a member function of the
// object that owns the machine. A state returns true when it finished and
// the next state (which it has set) may run at once, false when it must wait
// for more input; running with no state set is a broken invariant.

#include "base/plat/Assert.h"

namespace rdr {

template <class Owner>
class StateMachine {
public:
  using StateFn = bool (Owner::*)();

  explicit StateMachine(Owner& owner) : owner_(owner) {}
  StateMachine(const StateMachine&) = delete;
  StateMachine& operator=(const StateMachine&) = delete;

  void set(StateFn fn) { fn_ = fn; }
  void clear() { fn_ = nullptr; }
  bool isSet() const { return fn_ != nullptr; }
  bool is(StateFn fn) const { return fn_ == fn; }

  // Runs the current state; asserts that there is one.
  bool run() {
    StateFn stateFn = fn_;
    PLAT_ASSERT(stateFn);
    return (owner_.*stateFn)();
  }

private:
  Owner& owner_;
  StateFn fn_ = nullptr;
};

} // namespace rdr
