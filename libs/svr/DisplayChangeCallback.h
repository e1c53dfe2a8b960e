#pragma once

// What the display-mode component tells the capture engine after a display
// mode request: the screen's layout may have changed (or been changed and
// put back), so the buffer announced to the server must be rebuilt.

namespace svr {

class DisplayChangeCallback {
public:
  virtual void displayChanged() = 0;

protected:
  ~DisplayChangeCallback() = default;
};

} // namespace svr
