#pragma once

// RandR's notices of layout changes on the root window: the screen's size
// and each CRTC's mode, position and outputs. A CRTC that moves or changes
// mode while the root keeps its size sends no ConfigureNotify, so these are
// how the capture engine learns that its monitor rectangles went stale.
// Inert (selects nothing, recognises nothing) when RandR is not usable
// (svr::RandrSupport).

#include "uilibs/tx/TXEventHandler.h"
#include "uilibs/tx/XTypes.h"

namespace svr {

class RandrEvents {
public:
  // `dpy` (not owned) is the toolkit's connection, whose dispatcher delivers
  // the events.
  explicit RandrEvents(Display* dpy);

  // Selects (or deselects) the notices on the root window. A failure (the
  // library lacks the function) is logged and leaves nothing selected.
  void select(bool on);
  // Whether `event` is one of the notices.
  bool isLayoutChange(const XEvent& event) const;

private:
  Display* dpy_;
  // -1 while RandR is not usable.
  int eventBase_ = -1;
};

} // namespace svr
