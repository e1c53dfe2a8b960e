#include "uilibs/tx/WindowPosTracker.h"

#include "uilibs/tx/ErrorCatcher.h"
#include "uilibs/tx/TXEventDispatcher.h"
#include "uilibs/tx/TXUtil.h"

#include <X11/Xlib.h>

namespace tx {

namespace {

// Root coordinates of a top-level window with its border on both sides.
rfb::Rect outerRect(int x, int y, unsigned int width, unsigned int height, unsigned int border) {
  return rfb::Rect::fromXYWH(x, y, int(width + 2 * border), int(height + 2 * border));
}

} // namespace

WindowPosTracker::WindowPosTracker(Callback& callback) : callback_(callback) {}

WindowPosTracker::~WindowPosTracker() {
  stop();
}

void WindowPosTracker::start() {
  TXEventDispatcher::addRootEventHandler(this, true, SubstructureNotifyMask);
  rects_.clear();
  enumerateWindows(*this, 0, false);
}

void WindowPosTracker::stop() {
  TXEventDispatcher::addRootEventHandler(this, false, 0);
}

bool WindowPosTracker::enumWindow(Window window) {
  // The window may be destroyed while it is being looked at.
  ErrorCatcher catcher(100);
  Window root = 0, child = 0;
  int x = 0, y = 0;
  unsigned int width = 0, height = 0, border = 0, depth = 0;
  if (!XGetGeometry(display(), window, &root, &x, &y, &width, &height, &border, &depth))
    return true;
  int rootX = 0, rootY = 0;
  if (!XTranslateCoordinates(display(), window, rootWindow(), 0, 0, &rootX, &rootY, &child))
    return true;
  // The translation gives the inside corner; the rectangle starts at the
  // outside of the border.
  rects_[window] = outerRect(rootX - int(border), rootY - int(border), width, height, border);
  return true;
}

void WindowPosTracker::handleEvent(const XEvent& event) {
  if (event.type == ConfigureNotify) {
    const XConfigureEvent& configure = event.xconfigure;
    if (configure.window == rootWindow())
      return;
    rfb::Rect newRect = outerRect(configure.x, configure.y, configure.width, configure.height,
                                  configure.border_width);
    rfb::Rect oldRect;
    auto known = rects_.find(configure.window);
    if (known != rects_.end())
      oldRect = known->second;
    rects_[configure.window] = newRect;
    callback_.windowMoved(configure.window, oldRect, newRect);
    return;
  }
  if (event.type == DestroyNotify)
    rects_.erase(event.xdestroywindow.window);
}

} // namespace tx
