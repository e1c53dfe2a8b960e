#include "libs/svr/XTestExtension.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <atomic>

namespace svr {

namespace {

std::once_flag queryOnce;
std::atomic<bool> done{false};
XTestExtension::Version answer;

} // namespace

const XTestExtension::Version& XTestExtension::query(Display* dpy) {
  std::call_once(queryOnce, [dpy] {
    int eventBase = 0;
    int errorBase = 0;
    if (dpy && XTestQueryExtension(dpy, &eventBase, &errorBase, &answer.major, &answer.minor)) {
      answer.present = true;
      XTestGrabControl(dpy, True);
    }
    done = true;
  });
  return answer;
}

bool XTestExtension::queried() {
  return done;
}

} // namespace svr
