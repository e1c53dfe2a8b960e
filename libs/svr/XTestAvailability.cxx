#include "libs/svr/XTestAvailability.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

namespace svr {

namespace {

struct State {
  bool queried = false;
  bool present = false;
  int major = 0;
  int minor = 0;
};

State& state() {
  static State instance;
  return instance;
}

} // namespace

bool XTestAvailability::present(Display* dpy) {
  State& s = state();
  if (s.queried)
    return s.present;
  s.queried = true;
  int eventBase = 0;
  int errorBase = 0;
  s.present = dpy && XTestQueryExtension(dpy, &eventBase, &errorBase, &s.major, &s.minor);
  if (!s.present) {
    s.major = 0;
    s.minor = 0;
    return false;
  }
  // Capture and injection must go on while another client grabs the server.
  XTestGrabControl(dpy, True);
  return true;
}

bool XTestAvailability::queried() {
  return state().queried;
}

int XTestAvailability::majorVersion() {
  return state().major;
}

int XTestAvailability::minorVersion() {
  return state().minor;
}

void XTestAvailability::forget() {
  state() = State();
}

} // namespace svr
