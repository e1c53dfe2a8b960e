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
  // Depth first without recursion: a window tree nested by a hostile client
  // must not exhaust the stack. One list of siblings per level, each with
  // the position of the next one to visit.
  struct Level {
    std::vector<Window> windows;
    size_t next = 0;
  };
  std::vector<Level> levels;
  levels.push_back({childrenOf(window ? window : rootWindow())});
  while (!levels.empty()) {
    Level& level = levels.back();
    if (level.next == level.windows.size()) {
      levels.pop_back();
      continue;
    }
    Window child = level.windows[level.next++];
    if (!callback.enumWindow(child))
      return false;
    if (recursive && int(levels.size()) < maxWindowDepth)
      levels.push_back({childrenOf(child)});
  }
  return true;
}

} // namespace tx
