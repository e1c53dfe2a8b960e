#pragma once

// Helpers for the toolkit's X tests: the process's shared private server and
// toolkit connection, extra connections that close themselves, and waiting
// for an event with a deadline.

#include "uilibs/tx/TXUtil.h"

#include "testsupport/XvfbServer.h"

#include <X11/Xlib.h>

#include <chrono>
#include <functional>
#include <memory>
#include <poll.h>
#include <string>

namespace txtest {

struct DisplayCloser {
  void operator()(Display* dpy) const { XCloseDisplay(dpy); }
};
using Connection = std::unique_ptr<Display, DisplayCloser>;

// The toolkit's own connection, opened on the shared server.
inline Display* toolkitDisplay() {
  tx::openDisplay(testsupport::XvfbServer::shared().displayName().c_str());
  return tx::display();
}

// Another client of the server, for observing what the toolkit does.
inline Connection connect(const std::string& name) {
  return Connection(XOpenDisplay(name.c_str()));
}

inline Connection connectShared() {
  return connect(testsupport::XvfbServer::shared().displayName());
}

// Takes the first queued or arriving event that `wanted` accepts; false when
// none came before the deadline. Other events are dropped.
inline bool waitForEvent(Display* dpy, const std::function<bool(const XEvent&)>& wanted,
                         XEvent* found,
                         std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
  auto end = std::chrono::steady_clock::now() + deadline;
  XFlush(dpy);
  for (;;) {
    while (XPending(dpy)) {
      XNextEvent(dpy, found);
      if (wanted(*found))
        return true;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      end - std::chrono::steady_clock::now());
    if (left.count() <= 0)
      return false;
    pollfd pfd = {ConnectionNumber(dpy), POLLIN, 0};
    poll(&pfd, 1, int(left.count()));
  }
}

} // namespace txtest
