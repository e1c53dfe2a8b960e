#include "libs/svr/SPointerX11.h"

#include "libs/svr/PointerState.h"
#include "libs/svr/XTestAvailability.h"

#include "base/plat/BoolParameter.h"
#include "base/plat/IntParameter.h"
#include "base/plat/LocKey.h"
#include "base/plat/LogSrc.h"
#include "uilibs/tx/TXUtil.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

namespace svr {

namespace {

plat::LogSrc vlog("SPointerX11");

plat::IntParameter pollCursorTime("PollCursorTime", plat::LocKey("svr_param_pollcursortime"), 100, 0,
                                  2147483647);

plat::BoolParameter usePointerMapping(
  "UsePointerMapping", "Take the X11 pointer mapping into account when injecting button presses",
  true);

// The RFB mask bit that drives physical button `physical` (1-based), or -1
// when nothing drives it. With the mapping a viewer's button n reaches
// applications as logical button n whatever physical button that takes.
int maskBitFor(int physical, const uint8_t* map, bool useMapping) {
  if (!useMapping)
    return physical - 1;
  const int logical = map[physical - 1];
  if (logical == 0) // disabled button
    return -1;
  return logical - 1;
}

} // namespace

SPointerX11::SPointerX11(Display* dpy) : dpy_(dpy), pollTimer_(*this) {
  // Start from where the pointer really is, so that the first absolute
  // event is compared with the truth rather than with (0, 0).
  position_ = queryPointer();
}

SPointerX11::~SPointerX11() {
  pollTimer_.stop();
  releaseButtons();
}

void SPointerX11::pointerEvent(const rfb::Point& position, uint32_t buttonMask, bool relative) {
  if (!XTestAvailability::present(dpy_))
    return;

  if (relative) {
    if (position.x != 0 || position.y != 0)
      XTestFakeRelativeMotionEvent(dpy_, position.x, position.y, CurrentTime);
  } else if (position != position_) {
    XTestFakeMotionEvent(dpy_, DefaultScreen(dpy_), position.x, position.y, CurrentTime);
  }

  if (buttonMask != buttonMask_) {
    injectButtons(buttonMask_, buttonMask);
    buttonMask_ = buttonMask;
  }

  // A relative motion may be accelerated or stopped at the screen edge, so
  // only the server knows where it ended.
  setPosition(relative ? queryPointer() : position);
  XFlush(dpy_);
}

void SPointerX11::injectButtons(uint32_t oldMask, uint32_t newMask) {
  const int count = tx::pointerMappingCount();
  const uint8_t* map = tx::pointerMapping();
  const bool useMapping = usePointerMapping;
  for (int physical = 1; physical <= count; ++physical) {
    const int bit = maskBitFor(physical, map, useMapping);
    if (bit < 0 || bit >= 32)
      continue;
    const uint32_t flag = uint32_t(1) << bit;
    if (((oldMask ^ newMask) & flag) == 0)
      continue;
    const bool down = (newMask & flag) != 0;
    vlog.debug("button %d (mask bit %d) %s", physical, bit, down ? "down" : "up");
    fakeButton(physical, down);
  }
}

void SPointerX11::fakeButton(int physical, bool down) {
  XTestFakeButtonEvent(dpy_, physical, down, CurrentTime);
  const uint32_t flag = uint32_t(1) << (physical - 1);
  physicalDown_ = down ? (physicalDown_ | flag) : (physicalDown_ & ~flag);
}

void SPointerX11::releaseButtons() {
  buttonMask_ = 0;
  if (physicalDown_ == 0)
    return;
  // Physical buttons, not mask bits: the mapping may have changed since the
  // presses.
  for (int physical = 1; physicalDown_ != 0; ++physical) {
    if (physicalDown_ & (uint32_t(1) << (physical - 1))) {
      vlog.debug("button %d released", physical);
      fakeButton(physical, false);
    }
  }
  XFlush(dpy_);
}

void SPointerX11::setPosition(const rfb::Point& position) {
  if (position == position_)
    return;
  position_ = position;
  positionChanged_ = true;
}

rfb::Point SPointerX11::queryPointer() {
  return PointerState::query(dpy_).position;
}

void SPointerX11::poll() {
  const rfb::Point now = queryPointer();
  if (now == position_)
    return;
  position_ = now;
  positionChanged_ = true;
  if (callback_)
    callback_->localPointerMoved();
}

void SPointerX11::pollAndReport() {
  poll();
  if (!positionChanged_ || !callback_)
    return;
  positionChanged_ = false;
  callback_->cursorPosChanged(position_);
}

void SPointerX11::setCallback(SPointerX11Callback* callback) {
  const int interval = pollCursorTime;
  if (interval > 0) {
    callback_ = callback;
    if (callback) {
      pollTimer_.start(interval);
      // The pointer is where it is: the first poll must not call that a move.
      position_ = queryPointer();
      return;
    }
  } else {
    callback_ = nullptr;
  }
  pollTimer_.stop();
}

bool SPointerX11::timerFired(plat::Timer&) {
  pollAndReport();
  return true;
}

} // namespace svr
