#pragma once

// What the pointer injector reports about the real pointer (implemented by
// the desktop, which passes both on to the server). Called on the event-loop
// thread from the pointer's poll timer.

#include "base/rfb/Point.h"

namespace svr {

class SPointerX11Callback {
public:
  virtual ~SPointerX11Callback();

  // The pointer is at `position` (root-window coordinates) and the server
  // has not been told yet; sent as "setCursorPos".
  virtual void cursorPosChanged(const rfb::Point& position) = 0;
  // The pointer moved without an injected event: somebody at the desktop
  // moved it; sent as "localInput".
  virtual void localPointerMoved() = 0;
};

} // namespace svr
