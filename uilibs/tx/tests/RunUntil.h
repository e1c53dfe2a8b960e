#pragma once

// Waiting on X without sleeping: the loop every X test runs while it waits
// for the server, the toolkit or another client. Header-only, shared with
// the agent's tests.

// GoogleTest first: Xlib's macros (None, Bool) break its headers.
#include <gtest/gtest.h>

#include "uilibs/tx/TXEventDispatcher.h"
#include "uilibs/tx/TXUtil.h"

#include "base/plat/TimerManager.h"

#include <X11/Xlib.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <poll.h>
#include <vector>

namespace txtest {

// Dispatches every event `dpy` has now through the toolkit's dispatcher, as
// the agent's loop does for its connection.
inline void dispatchEvents(Display* dpy = tx::display()) {
  while (XPending(dpy)) {
    XEvent event;
    XNextEvent(dpy, &event);
    tx::TXEventDispatcher::handleEvent(event);
  }
}

struct RunOptions {
  // Connections to flush and wait on between passes (null ones are skipped).
  std::vector<Display*> displays;
  // The longest wait between passes.
  int waitMs = 50;
  // Wait no longer than the thread's next timer is due (for passes that
  // fire them).
  bool timers = false;
  std::chrono::milliseconds deadline = std::chrono::seconds(30);
};

// Runs `pass` until `done` holds or the deadline passes. Returns whether
// `done` held.
inline bool runUntil(const std::function<bool()>& done, const std::function<void()>& pass,
                     const RunOptions& options) {
  auto end = std::chrono::steady_clock::now() + options.deadline;
  for (;;) {
    pass();
    if (done())
      return true;
    if (std::chrono::steady_clock::now() >= end)
      return false;
    std::vector<pollfd> fds;
    for (Display* dpy : options.displays) {
      if (!dpy)
        continue;
      XFlush(dpy);
      fds.push_back({ConnectionNumber(dpy), POLLIN, 0});
    }
    int wait = options.waitMs;
    plat::TimerManager* timers = options.timers ? plat::TimerManager::current() : nullptr;
    if (int32_t next = timers ? timers->msUntilNext() : -1; next >= 0)
      wait = std::min<int>(wait, next);
    poll(fds.data(), fds.size(), wait);
  }
}

} // namespace txtest
