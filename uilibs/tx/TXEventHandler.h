#pragma once

// Something that wants X events from the toolkit's dispatcher: every event
// (general handlers), events on the root window, or the events of one
// toolkit window. Handlers are not owned by the lists they are in; a handler
// unregisters itself before it is destroyed.

#include "uilibs/tx/XTypes.h"

// Xlib declares XEvent as exactly this union; repeating the typedef keeps
// Xlib's macros out of headers that only pass events along.
union _XEvent;
typedef union _XEvent XEvent;

namespace tx {

class TXEventHandler {
public:
  virtual ~TXEventHandler() = default;
  // Called on the event-loop thread. May add or remove handlers (itself
  // included) and create or destroy toolkit windows.
  virtual void handleEvent(const XEvent& event) = 0;
};

} // namespace tx
