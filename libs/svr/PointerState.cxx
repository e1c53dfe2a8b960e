#include "libs/svr/PointerState.h"

#include <X11/Xlib.h>

namespace svr {

PointerState PointerState::query(Display* dpy) {
  Window root = 0;
  Window child = 0;
  int rootX = 0;
  int rootY = 0;
  int winX = 0;
  int winY = 0;
  unsigned int mask = 0;
  PointerState state;
  state.onScreen = XQueryPointer(dpy, DefaultRootWindow(dpy), &root, &child, &rootX, &rootY,
                                 &winX, &winY, &mask);
  // The modifier mask is valid wherever the pointer is.
  state.mask = mask;
  if (state.onScreen)
    state.position = rfb::Point(rootX, rootY);
  return state;
}

} // namespace svr
