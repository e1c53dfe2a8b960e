#pragma once

// Walking the window tree of the toolkit's display.

#include "uilibs/tx/XTypes.h"

namespace tx {

class EnumWindowsCallback {
public:
  virtual ~EnumWindowsCallback() = default;
  // One window; false stops the walk.
  virtual bool enumWindow(Window window) = 0;
};

// How many levels below `window` a recursive walk goes. Any client can
// nest windows as deep as it likes, and each level costs a round trip.
constexpr int maxWindowDepth = 64;

// Calls `callback` for each child of `window` (the root when 0) in stacking
// order, bottom first; with `recursive`, descends into each child right
// after its own call, down to maxWindowDepth levels (deeper windows are not
// visited). Returns false when the callback stopped the walk. Windows that
// vanish meanwhile are skipped (their X errors are caught and logged at
// level 100).
bool enumerateWindows(EnumWindowsCallback& callback, Window window = 0, bool recursive = false);

} // namespace tx
