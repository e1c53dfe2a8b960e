#include "uilibs/ui/AppLoopImpl.h"

#include "uilibs/tx/TXDisplayManager.h"
#include "uilibs/tx/TXEventDispatcher.h"
#include "uilibs/tx/TXUtil.h"

#include "base/io/FdManager.h"
#include "base/os/AppLoop.h"

#include <X11/Xlib.h>

namespace ui {

AppLoopImpl::AppLoopImpl() : displayManager_(std::make_unique<tx::TXDisplayManager>()) {}

AppLoopImpl::~AppLoopImpl() = default;

int AppLoopImpl::run() {
  // A stop asked for before run() ends this run at once, and only this one.
  if (stopPending()) {
    clearStop();
    return os::AppLoop::exitCode();
  }
  while (!stopPending()) {
    dispatchXEvents();
    // A handler may have asked to stop; waiting now could block for good.
    if (stopPending())
      break;
    manager().processEvents(-1);
  }
  clearStop();
  return os::AppLoop::exitCode();
}

void AppLoopImpl::dispatchXEvents() {
  Display* dpy = tx::display();
  // XPending also flushes what callbacks asked of the server, and reads
  // whatever has arrived; events read meanwhile by a handler's round trip
  // are picked up by the next count.
  while (XPending(dpy)) {
    XEvent event;
    XNextEvent(dpy, &event);
    tx::TXEventDispatcher::handleEvent(event);
  }
}

} // namespace ui
