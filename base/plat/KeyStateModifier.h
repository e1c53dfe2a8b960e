#pragma once

// A scope of temporary key-state changes: each set() performs one (keycode,
// down) change at once, and the end of the scope performs the opposite of
// every change, last change first, so that nested adjustments (release Shift,
// press Level 3 Shift) unwind in the order that rebuilds the earlier state.
//
// Invariant: changes_ holds exactly the changes performed so far and not yet
// undone, in the order they were performed.

#include <cstddef>
#include <utility>
#include <vector>

namespace plat {

class KeyStateModifier {
public:
  class Callback {
  public:
    virtual ~Callback() = default;
    // Presses (down) or releases the keycode, as a change of state only: the
    // key stands for no keysym of its own.
    virtual void setKeyState(int keycode, bool down) = 0;
  };

  // The callback is not owned and must outlive the scope.
  explicit KeyStateModifier(Callback& callback) : callback_(callback) {}
  // Undoes every change in reverse order. An exception from the callback
  // does not stop the undoing of the remaining changes; it is logged.
  ~KeyStateModifier();
  KeyStateModifier(const KeyStateModifier&) = delete;
  KeyStateModifier& operator=(const KeyStateModifier&) = delete;

  // Performs the change now and remembers it for the undo. When the callback
  // throws, the change is not remembered (it is taken as not performed).
  void set(int keycode, bool down);

  size_t changeCount() const { return changes_.size(); }

private:
  Callback& callback_;
  std::vector<std::pair<int, bool>> changes_;
};

} // namespace plat
