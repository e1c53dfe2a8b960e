#pragma once

// Shared pieces of the keyboard and pointer injection tests: connections to
// a private Xvfb with or without XKB, where the pointer is, the toolkit's
// dispatch of the injecting connection's events, and a clock the tests move
// by hand.

// GoogleTest first: Xlib's macros (None, Bool) break its headers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/plat/tests/TimerTestSupport.h"
#include "uilibs/tx/TXEventDispatcher.h"
#include "uilibs/tx/tests/RunUntil.h"
#include "uilibs/tx/tests/XTestHelpers.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace svrtest {

using txtest::Connection;

inline Connection connect(const std::string& name, bool useXkb = true) {
  // Xlib decides at open time whether a connection uses XKB; ignoring the
  // extension gives the core-protocol keyboard of a server without it.
  if (!useXkb)
    XkbIgnoreExtension(True);
  Connection dpy(XOpenDisplay(name.c_str()));
  if (!useXkb)
    XkbIgnoreExtension(False);
  if (!dpy)
    throw std::runtime_error("cannot connect to " + name);
  return dpy;
}

// Where the pointer is, asked through `dpy`.
inline std::pair<int, int> pointerOf(Display* dpy) {
  Window root = 0;
  Window child = 0;
  int x = 0;
  int y = 0;
  int windowX = 0;
  int windowY = 0;
  unsigned int mask = 0;
  XQueryPointer(dpy, DefaultRootWindow(dpy), &root, &child, &x, &y, &windowX, &windowY, &mask);
  return {x, y};
}

using txtest::dispatchEvents;

// Another application: a 300x200 window at x, y selecting `mask`, mapped
// before the constructor returns. Every event of its connection is handed
// to `onEvent` as it is collected.
class EventWindow {
public:
  EventWindow(const std::string& name, int x, int y, long mask,
              std::function<void(XEvent&)> onEvent)
    : dpy_(connect(name)), onEvent_(std::move(onEvent)) {
    XSetWindowAttributes attributes;
    attributes.event_mask = mask | StructureNotifyMask;
    attributes.override_redirect = True;
    window_ = XCreateWindow(dpy(), DefaultRootWindow(dpy()), x, y, 300, 200, 0, CopyFromParent,
                            InputOutput, CopyFromParent, CWEventMask | CWOverrideRedirect,
                            &attributes);
    XMapRaised(dpy(), window_);
    if (!waitFor([this] { return mapped_; }))
      throw std::runtime_error("the window was never mapped");
  }
  ~EventWindow() { XDestroyWindow(dpy(), window_); }

  Display* dpy() const { return dpy_.get(); }
  Window window() const { return window_; }

  // Runs `pump` and collects until `done` holds or 30 s pass; `other`'s
  // events wake the wait too.
  bool waitFor(const std::function<bool()>& done, const std::function<void()>& pump = {},
               Display* other = nullptr) {
    return txtest::runUntil(
      done,
      [&] {
        if (pump)
          pump();
        while (XPending(dpy())) {
          XEvent event;
          XNextEvent(dpy(), &event);
          mapped_ = mapped_ || (event.type == MapNotify && event.xmap.window == window_);
          onEvent_(event);
        }
      },
      {{dpy(), other}, 20});
  }

private:
  Connection dpy_;
  std::function<void(XEvent&)> onEvent_;
  Window window_ = 0;
  bool mapped_ = false;
};

} // namespace svrtest
