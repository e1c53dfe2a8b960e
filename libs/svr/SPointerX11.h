#pragma once

// Injects the pointer events that viewers send as synthetic X motion and
// button events (XTEST), and watches the real pointer so that the server
// learns where the cursor is and that somebody at the desktop moved it.
//
// Invariants: position_ is the last position known to this object, in
// root-window coordinates (an injected one or a polled one);
// positionChanged_ says it has not been reported since it changed;
// buttonMask_ is the RFB mask (bit 0 = button 1) of the last pointer event,
// so that only changed buttons are pressed or released; physicalDown_ holds
// the physical buttons (bit 0 = button 1) this object has pressed and not
// released. Event-loop thread only.

#include "libs/svr/SPointerX11Callback.h"

#include "base/plat/Timer.h"
#include "base/rfb/Point.h"
#include "uilibs/tx/XTypes.h"

#include <cstdint>

namespace svr {

class SPointerX11 : private plat::Timer::Callback {
public:
  // `dpy` (not owned) is the connection events are injected through. The
  // button map is the toolkit's (tx::pointerMapping), which its dispatcher
  // keeps fresh. Polling is off until setCallback().
  explicit SPointerX11(Display* dpy);
  ~SPointerX11() override;
  SPointerX11(const SPointerX11&) = delete;
  SPointerX11& operator=(const SPointerX11&) = delete;

  // One RFB pointer event. An absolute `position` must already lie on the
  // screen; a relative one is the motion (dx, dy). Dropped silently when the
  // server has no XTEST. Nothing is reported here: the next poll does.
  void pointerEvent(const rfb::Point& position, uint32_t buttonMask, bool relative);

  // Releases every button this object pressed and starts the next viewer
  // from an empty mask, so that nobody is left holding a button (the desktop
  // stopping, the agent ending). The destructor does it too.
  void releaseButtons();

  // Starts (non-null, and "PollCursorTime" above 0) or stops (null) the
  // periodic position poll that reports to `callback` (not owned; it must
  // outlive the polling).
  void setCallback(SPointerX11Callback* callback);

  // Reads the real pointer position; a move that no injected event explains
  // is reported at once as localPointerMoved().
  void poll();
  // poll(), then reports a position not yet reported through
  // cursorPosChanged().
  void pollAndReport();

  const rfb::Point& position() const { return position_; }
  uint32_t buttonMask() const { return buttonMask_; }
  bool isPolling() const { return pollTimer_.isRunning(); }

private:
  bool timerFired(plat::Timer& timer) override;

  // The pointer in root coordinates; (-1, -1) when the query fails.
  rfb::Point queryPointer();
  void injectButtons(uint32_t oldMask, uint32_t newMask);
  void fakeButton(int physical, bool down);
  void setPosition(const rfb::Point& position);

  Display* dpy_;
  SPointerX11Callback* callback_ = nullptr;
  rfb::Point position_;
  plat::Timer pollTimer_;
  uint32_t buttonMask_ = 0;
  uint32_t physicalDown_ = 0;
  bool positionChanged_ = false;
};

} // namespace svr
