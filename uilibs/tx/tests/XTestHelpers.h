#pragma once

// Helpers for the toolkit's X tests: the toolkit's connection to the
// process's shared server, other clients, and a pump that runs the toolkit
// until a condition holds.

// GoogleTest first: Xlib's macros (None, Bool) break its headers.
#include <gtest/gtest.h>

#include "uilibs/tx/TXEventDispatcher.h"
#include "uilibs/tx/TXUtil.h"
#include "uilibs/tx/tests/RunUntil.h"

#include "testsupport/XvfbServer.h"

#include <X11/Xlib.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

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

// Another application on the shared server.
class TestClient {
public:
  TestClient() : dpy_(connect(testsupport::XvfbServer::shared().displayName())) {
    if (!dpy_)
      throw std::runtime_error("cannot open a second connection");
  }
  Display* dpy() const { return dpy_.get(); }
  Window root() const { return DefaultRootWindow(dpy()); }
  Atom atom(const char* name) const { return XInternAtom(dpy(), name, False); }

  // An unmapped top-level window selecting `mask`.
  Window createWindow(long mask = PropertyChangeMask, int x = 0, int y = 0, int width = 10,
                      int height = 10, int border = 0) {
    XSetWindowAttributes attributes;
    attributes.event_mask = mask;
    Window window = XCreateWindow(dpy(), root(), x, y, width, height, border, CopyFromParent,
                                  InputOutput, CopyFromParent, CWEventMask, &attributes);
    XSync(dpy(), False);
    return window;
  }

private:
  Connection dpy_;
};

// Runs the toolkit's dispatch until `done` holds or a generous deadline
// passes. Returns whether `done` held.
inline bool pumpUntil(const std::function<bool()>& done) {
  return runUntil(done, [] { dispatchEvents(); }, {{tx::display()}, 100});
}

// Records every event it is given.
class RecordingHandler : public tx::TXEventHandler {
public:
  void handleEvent(const XEvent& event) override { events.push_back(event); }
  std::vector<XEvent> events;
};

} // namespace txtest
