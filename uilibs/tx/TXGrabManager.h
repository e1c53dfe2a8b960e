#pragma once

// Toolkit grabs. Windows ask for the pointer and/or the keyboard; for each
// kind the grabbing window is the newest mapped window asking for it. When
// it changes, the old X grab is released and, unless "_NoGrab" is set, the
// new window grabs (the pointer with its cursor). While any grab is in
// force, pointer and key events of other windows are redirected to the
// grabbing window of their kind, or dropped when there is none.
//
// Invariants: requests_ is in request order (newest last), one entry per
// window; the grabbers are recomputed after every change of a request or of
// a requesting window's mapped state. Event-loop thread only.

#include "uilibs/tx/TXEventHandler.h"

namespace tx {

class TXWindow;

class TXGrabManager {
public:
  TXGrabManager() = delete;

  // Records or withdraws (both false) the window's request, then updates.
  static void request(TXWindow& window, bool pointer, bool keyboard, unsigned long cursor);
  // Withdraws the window's request (it is going away).
  static void forget(TXWindow& window);
  // Recomputes the grabbing windows (a requesting window was mapped or
  // unmapped).
  static void update();

  static TXWindow* pointerGrabber();
  static TXWindow* keyboardGrabber();
  static bool wantsPointer(const TXWindow& window);
  static bool wantsKeyboard(const TXWindow& window);

  // The window that should get `event`, which is addressed to `window`:
  // itself, the grabbing window (the event is rewritten to it, coordinates
  // made relative to it), or null when the event is to be dropped.
  static TXWindow* route(XEvent& event, TXWindow* window);
};

} // namespace tx
