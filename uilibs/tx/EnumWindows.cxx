#include "uilibs/tx/EnumWindows.h"

#include "uilibs/tx/ErrorCatcher.h"
#include "uilibs/tx/TXUtil.h"

#include <X11/Xlib.h>

#include <memory>
#include <vector>

namespace tx {

namespace {

// The children of `window`, bottom first; empty when it is gone.
std::vector<Window> childrenOf(Window window) {
  ErrorCatcher catcher(100);
  Window root = 0, parent = 0;
  Window* children = nullptr;
  unsigned int count = 0;
  Status status = XQueryTree(display(), window, &root, &parent, &children, &count);
  std::unique_ptr<Window, int (*)(void*)> owned(children, XFree);
  if (!status || !children)
    return {};
  return std::vector<Window>(children, children + count);
}

} // namespace

bool enumerateWindows(EnumWindowsCallback& callback, Window window, bool recursive) {
  for (Window child : childrenOf(window ? window : rootWindow())) {
    if (!callback.enumWindow(child))
      return false;
    if (recursive && !enumerateWindows(callback, child, true))
      return false;
  }
  return true;
}

} // namespace tx
