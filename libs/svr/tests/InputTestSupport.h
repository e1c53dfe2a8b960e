#pragma once

// Shared pieces of the keyboard and pointer injection tests: connections to
// a private Xvfb with or without XKB, where the pointer is, the toolkit's
// dispatch of the injecting connection's events, and a clock the tests move
// by hand.

// GoogleTest first: Xlib's macros (None, Bool) break its headers.
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

} // namespace svrtest
