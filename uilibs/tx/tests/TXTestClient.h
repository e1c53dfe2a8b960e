#pragma once

// Shared pieces of the window and dispatch tests: the process-wide toolkit
// display on the shared private Xvfb, a second X client acting as another
// application, and a pump that runs both until a condition holds.

// GoogleTest first: Xlib's macros (None, Bool) break its headers.
#include <gtest/gtest.h>

#include "uilibs/tx/TXEventDispatcher.h"
#include "uilibs/tx/TXUtil.h"
#include "uilibs/tx/tests/RunUntil.h"

#include "testsupport/XvfbServer.h"

#include <X11/Xlib.h>

#include <stdexcept>
#include <vector>

namespace txtest {

inline void openSharedDisplay() {
  testsupport::XvfbServer::shared();
  tx::openDisplay(nullptr);
  ASSERT_NE(tx::display(), nullptr);
}

// Another application on the same server, with its own connection.
class TestClient {
public:
  TestClient() : dpy_(XOpenDisplay(testsupport::XvfbServer::shared().displayName().c_str())) {
    if (!dpy_)
      throw std::runtime_error("cannot open a second connection");
  }
  ~TestClient() { XCloseDisplay(dpy_); }
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;

  Display* dpy() const { return dpy_; }
  Window root() const { return DefaultRootWindow(dpy_); }
  Atom atom(const char* name) const { return XInternAtom(dpy_, name, False); }

  // An unmapped top-level window selecting `mask`.
  Window createWindow(long mask = PropertyChangeMask, int x = 0, int y = 0, int width = 10,
                      int height = 10, int border = 0) {
    XSetWindowAttributes attributes;
    attributes.event_mask = mask;
    Window window = XCreateWindow(dpy_, root(), x, y, width, height, border, CopyFromParent,
                                  InputOutput, CopyFromParent, CWEventMask, &attributes);
    XSync(dpy_, False);
    return window;
  }

private:
  Display* dpy_;
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
