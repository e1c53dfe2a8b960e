#pragma once

// The one dispatcher of the process's X events, with its registries:
//
// - window map: X window id -> toolkit window; events on a window reach it;
// - general handlers: every event, in registration order;
// - root handlers: events on the root window, each with the event mask it
//   needs; the root always selects the OR of these masks (and nothing else:
//   code must not select input on the root directly, or the next change
//   here would undo it);
// - selection owners: selection atom -> the toolkit window that owns it (at
//   most one);
// - focus flag: set by FocusIn, cleared by FocusOut, of any window.
//
// Handlers may register and unregister (themselves or others) and windows
// may be created or destroyed from inside a dispatch: each walk runs over a
// copy, and a handler removed meanwhile is not called any more. Event-loop
// thread only.

#include "uilibs/tx/TXEventHandler.h"

#include <string>

struct timeval;

namespace tx {

class TXWindow;

class TXEventDispatcher {
public:
  TXEventDispatcher() = delete;

  // Appends `handler` (add) or removes it; a handler is never listed twice.
  static void addEventHandler(TXEventHandler* handler, bool add);
  // Registers `handler` for events on the root window with `mask` (replacing
  // its earlier mask), or removes it; then selects the union of all masks on
  // the root window.
  static void addRootEventHandler(TXEventHandler* handler, bool add, long mask);
  // The union that the root window is meant to select.
  static long rootEventMask();

  // Dispatches one event read from the connection. The event may be
  // rewritten on the way (a toolkit grab redirects it, queued
  // ConfigureNotify events are merged into the last).
  static void handleEvent(XEvent& event);

  static bool hasFocus();

  // The "_DebugEvents" trace line of `event` at local time `now`, with its
  // newline.
  static std::string traceLine(const XEvent& event, const timeval& now);

  // Registries kept for the toolkit windows.
  static void addWindow(TXWindow& window);
  static void removeWindow(TXWindow& window);
  // The toolkit window with this id, or null.
  static TXWindow* findWindow(Window id);
  static TXWindow* selectionOwner(Atom selection);
  // Records `window` as owner of `selection`; null forgets the owner.
  static void setSelectionOwner(Atom selection, TXWindow* window);

private:
  // The window's own steps, then its handlers; the window may be destroyed
  // by any of them, after which nothing more is done for it.
  static void dispatchToWindow(XEvent& event, TXWindow* window);
};

} // namespace tx
