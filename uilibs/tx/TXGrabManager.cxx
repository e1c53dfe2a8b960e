#include "uilibs/tx/TXGrabManager.h"

#include "uilibs/tx/ErrorCatcher.h"
#include "uilibs/tx/TXUtil.h"
#include "uilibs/tx/TXWindow.h"

#include "base/plat/BoolParameter.h"
#include "base/plat/LogSrc.h"

#include <X11/Xlib.h>

#include <algorithm>
#include <vector>

namespace tx {

namespace {

plat::LogSrc vlog("TXWindow");

plat::BoolParameter noGrab("_NoGrab", "", false, true);

constexpr unsigned int anyButtonMask =
  Button1Mask | Button2Mask | Button3Mask | Button4Mask | Button5Mask;

struct Request {
  TXWindow* window;
  bool pointer;
  bool keyboard;
  Cursor cursor;
};

struct GrabState {
  std::vector<Request> requests;
  TXWindow* pointerGrabber = nullptr;
  TXWindow* keyboardGrabber = nullptr;
};

GrabState& state() {
  static GrabState instance;
  return instance;
}

const Request* findRequest(const TXWindow& window) {
  for (const Request& request : state().requests) {
    if (request.window == &window)
      return &request;
  }
  return nullptr;
}

const Request* newestMapped(bool Request::*kind) {
  const std::vector<Request>& requests = state().requests;
  for (auto it = requests.rbegin(); it != requests.rend(); ++it) {
    if ((*it).*kind && it->window->mapped() && it->window->win())
      return &*it;
  }
  return nullptr;
}

void grabPointer(const Request& request) {
  int result = XGrabPointer(display(), request.window->win(), True,
                            ButtonPressMask | ButtonReleaseMask | PointerMotionMask,
                            GrabModeAsync, GrabModeAsync, None, request.cursor, CurrentTime);
  if (result != GrabSuccess)
    vlog.error("XGrabPointer failed: %d", result);
}

void grabKeyboard(const Request& request) {
  int result = XGrabKeyboard(display(), request.window->win(), True, GrabModeAsync,
                             GrabModeAsync, CurrentTime);
  if (result != GrabSuccess)
    vlog.error("XGrabKeyboard failed: %d", result);
}

void updatePointer() {
  const Request* newest = newestMapped(&Request::pointer);
  TXWindow* grabber = newest ? newest->window : nullptr;
  if (grabber == state().pointerGrabber)
    return;
  if (state().pointerGrabber)
    XUngrabPointer(display(), CurrentTime);
  state().pointerGrabber = grabber;
  if (newest && !noGrab)
    grabPointer(*newest);
}

void updateKeyboard() {
  const Request* newest = newestMapped(&Request::keyboard);
  TXWindow* grabber = newest ? newest->window : nullptr;
  if (grabber == state().keyboardGrabber)
    return;
  if (state().keyboardGrabber)
    XUngrabKeyboard(display(), CurrentTime);
  state().keyboardGrabber = grabber;
  if (newest && !noGrab)
    grabKeyboard(*newest);
}

bool isPointerEvent(const XEvent& event) {
  switch (event.type) {
  case ButtonPress:
  case ButtonRelease:
    return true;
  case MotionNotify:
    return (event.xmotion.state & anyButtonMask) != 0;
  default:
    return false;
  }
}

bool isKeyEvent(const XEvent& event) {
  return event.type == KeyPress || event.type == KeyRelease;
}

// Rewrites the event's window and coordinates (x, y) to `to`.
template <typename PointerOrKeyEvent>
void moveTo(PointerOrKeyEvent& event, TXWindow& to) {
  int x = event.x, y = event.y;
  Window child = 0;
  // The event's window may be gone by now.
  ErrorCatcher catcher(100);
  XTranslateCoordinates(display(), event.window, to.win(), event.x, event.y, &x, &y, &child);
  event.window = to.win();
  event.x = x;
  event.y = y;
}

} // namespace

void TXGrabManager::request(TXWindow& window, bool pointer, bool keyboard,
                            unsigned long cursor) {
  std::vector<Request>& requests = state().requests;
  requests.erase(std::remove_if(requests.begin(), requests.end(),
                                [&window](const Request& r) { return r.window == &window; }),
                 requests.end());
  if (pointer || keyboard)
    requests.push_back(Request{&window, pointer, keyboard, cursor});
  update();
}

void TXGrabManager::forget(TXWindow& window) {
  if (findRequest(window) || state().pointerGrabber == &window ||
      state().keyboardGrabber == &window)
    request(window, false, false, 0);
}

void TXGrabManager::update() {
  updatePointer();
  updateKeyboard();
}

TXWindow* TXGrabManager::pointerGrabber() {
  return state().pointerGrabber;
}

TXWindow* TXGrabManager::keyboardGrabber() {
  return state().keyboardGrabber;
}

bool TXGrabManager::wantsPointer(const TXWindow& window) {
  const Request* request = findRequest(window);
  return request && request->pointer;
}

bool TXGrabManager::wantsKeyboard(const TXWindow& window) {
  const Request* request = findRequest(window);
  return request && request->keyboard;
}

TXWindow* TXGrabManager::route(XEvent& event, TXWindow* window) {
  GrabState& s = state();
  if (!s.pointerGrabber && !s.keyboardGrabber)
    return window;
  if (isPointerEvent(event) && !wantsPointer(*window)) {
    if (!s.pointerGrabber)
      return nullptr;
    if (event.type == MotionNotify)
      moveTo(event.xmotion, *s.pointerGrabber);
    else
      moveTo(event.xbutton, *s.pointerGrabber);
    return s.pointerGrabber;
  }
  if (isKeyEvent(event) && !wantsKeyboard(*window)) {
    if (!s.keyboardGrabber)
      return nullptr;
    moveTo(event.xkey, *s.keyboardGrabber);
    return s.keyboardGrabber;
  }
  return window;
}

} // namespace tx
