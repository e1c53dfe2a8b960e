#pragma once

// The pointer as the server sees it now: where it is on the default screen's
// root window and which modifier and button bits are down. One round trip.

#include "base/rfb/Point.h"
#include "uilibs/tx/XTypes.h"

namespace svr {

struct PointerState {
  // False when the pointer is on another screen; position is then (-1, -1).
  bool onScreen = false;
  rfb::Point position{-1, -1};
  // The X key and button mask (ShiftMask .. Mod5Mask, Button1Mask ..).
  unsigned int mask = 0;

  static PointerState query(Display* dpy);
};

} // namespace svr
