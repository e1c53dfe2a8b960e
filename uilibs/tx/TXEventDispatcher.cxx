#include "uilibs/tx/TXEventDispatcher.h"

#include "uilibs/tx/TXGrabManager.h"
#include "uilibs/tx/TXHandlerList.h"
#include "uilibs/tx/TXUtil.h"
#include "uilibs/tx/TXWindow.h"

#include "base/plat/BoolParameter.h"
#include "base/plat/Format.h"

#include <X11/Xlib.h>

#include <cstdio>
#include <ctime>
#include <map>
#include <sys/time.h>

namespace tx {

namespace {

plat::BoolParameter debugEvents("_DebugEvents", "", false, true);

const char* const eventNames[] = {
  "Error",           "Reply",           "KeyPress",       "KeyRelease",       "ButtonPress",
  "ButtonRelease",   "MotionNotify",    "EnterNotify",    "LeaveNotify",      "FocusIn",
  "FocusOut",        "KeymapNotify",    "Expose",         "GraphicsExpose",   "NoExpose",
  "VisibilityNotify", "CreateNotify",   "DestroyNotify",  "UnmapNotify",      "MapNotify",
  "MapRequest",      "ReparentNotify",  "ConfigureNotify", "ConfigureRequest", "GravityNotify",
  "ResizeRequest",   "CirculateNotify", "CirculateRequest", "PropertyNotify", "SelectionClear",
  "SelectionRequest", "SelectionNotify", "ColormapNotify", "ClientMessage",   "MappingNotify",
};
constexpr int namedEventTypes = sizeof(eventNames) / sizeof(eventNames[0]);

struct Registries {
  std::map<Window, TXWindow*> windows;
  TXHandlerList general;
  TXHandlerList root{true};
  std::map<Atom, TXWindow*> selectionOwners;
  bool focus = false;
};

Registries& registries() {
  static Registries instance;
  return instance;
}

std::string eventName(int type) {
  if (type >= 0 && type < namedEventTypes)
    return eventNames[type];
  return plat::format("%d", type);
}

std::string eventDetails(const XEvent& event) {
  switch (event.type) {
  case Expose:
    return plat::format("%d,%d to %d,%d", event.xexpose.x, event.xexpose.y,
                        event.xexpose.x + event.xexpose.width,
                        event.xexpose.y + event.xexpose.height);
  case ButtonPress:
  case ButtonRelease:
    return plat::format("%d%s%d", event.xbutton.x, ",", event.xbutton.y);
  case MotionNotify:
    return plat::format("%d%s%d", event.xmotion.x, ",", event.xmotion.y);
  case EnterNotify:
  case LeaveNotify:
    return plat::format("%d%s%d", event.xcrossing.x, ",", event.xcrossing.y);
  case ConfigureNotify:
    return plat::format("%d,%d to %d,%d", event.xconfigure.x, event.xconfigure.y,
                        event.xconfigure.x + event.xconfigure.width,
                        event.xconfigure.y + event.xconfigure.height);
  default:
    return {};
  }
}

void traceEvent(const XEvent& event) {
  timeval now;
  gettimeofday(&now, nullptr);
  std::fputs(TXEventDispatcher::traceLine(event, now).c_str(), stderr);
}

void handleMappingNotify(XEvent& event) {
  XRefreshKeyboardMapping(&event.xmapping);
  if (event.xmapping.request == MappingPointer)
    refreshPointerMapping();
}

} // namespace

void TXEventDispatcher::dispatchToWindow(XEvent& event, TXWindow* window) {
  window = TXGrabManager::route(event, window);
  if (!window)
    return;
  Window id = window->win();
  if (!window->handleWindowEvent(event))
    return;
  if (TXEventDispatcher::findWindow(id) != window)
    return;
  for (const TXHandlerList::Entry& entry : window->handlers().snapshot()) {
    if (TXEventDispatcher::findWindow(id) != window)
      return;
    if (window->handlers().stillListed(entry))
      entry.handler->handleEvent(event);
  }
}

void TXEventDispatcher::addEventHandler(TXEventHandler* handler, bool add) {
  if (add)
    registries().general.add(handler);
  else
    registries().general.remove(handler);
}

void TXEventDispatcher::addRootEventHandler(TXEventHandler* handler, bool add, long mask) {
  if (add)
    registries().root.add(handler, mask);
  else
    registries().root.remove(handler);
  XSelectInput(display(), rootWindow(), rootEventMask());
}

long TXEventDispatcher::rootEventMask() {
  return registries().root.unionOfMasks();
}

bool TXEventDispatcher::hasFocus() {
  return registries().focus;
}

std::string TXEventDispatcher::traceLine(const XEvent& event, const timeval& now) {
  time_t seconds = now.tv_sec;
  tm local;
  localtime_r(&seconds, &local);
  char clock[16];
  std::strftime(clock, sizeof(clock), "%H:%M:%S", &local);
  std::string stamp = plat::format("%s.%03d", clock, int(now.tv_usec / 1000));
  return plat::format("%s %s window %lx %s\n", stamp.c_str(), eventName(event.type).c_str(),
                      event.xany.window, eventDetails(event).c_str());
}

void TXEventDispatcher::handleEvent(XEvent& event) {
  if (debugEvents)
    traceEvent(event);
  Registries& r = registries();
  if (event.type == MappingNotify)
    handleMappingNotify(event);
  if (event.type == FocusIn)
    r.focus = true;
  else if (event.type == FocusOut)
    r.focus = false;

  r.general.dispatch(event);

  if (event.xany.window == rootWindow()) {
    r.root.dispatch(event);
    return;
  }
  TXWindow* window = findWindow(event.xany.window);
  if (window)
    dispatchToWindow(event, window);
}

void TXEventDispatcher::addWindow(TXWindow& window) {
  registries().windows[window.win()] = &window;
}

void TXEventDispatcher::removeWindow(TXWindow& window) {
  Registries& r = registries();
  auto listed = r.windows.find(window.win());
  if (listed != r.windows.end() && listed->second == &window)
    r.windows.erase(listed);
  for (auto it = r.selectionOwners.begin(); it != r.selectionOwners.end();) {
    if (it->second == &window)
      it = r.selectionOwners.erase(it);
    else
      ++it;
  }
}

TXWindow* TXEventDispatcher::findWindow(Window id) {
  Registries& r = registries();
  auto listed = r.windows.find(id);
  return listed == r.windows.end() ? nullptr : listed->second;
}

TXWindow* TXEventDispatcher::selectionOwner(Atom selection) {
  Registries& r = registries();
  auto owner = r.selectionOwners.find(selection);
  return owner == r.selectionOwners.end() ? nullptr : owner->second;
}

void TXEventDispatcher::setSelectionOwner(Atom selection, TXWindow* window) {
  if (window)
    registries().selectionOwners[selection] = window;
  else
    registries().selectionOwners.erase(selection);
}

} // namespace tx
