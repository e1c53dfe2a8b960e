#pragma once

// Shared pieces of the keyboard and pointer injection tests: connections to
// a private Xvfb, an observing client with a focused window that records the
// key and button events it receives, a pump that dispatches the injecting
// connection's events through the toolkit while waiting for a condition
// with a generous deadline, and a clock the tests move by hand.

// GoogleTest first: Xlib's macros (None, Bool) break its headers.
#include <gtest/gtest.h>

#include "libs/svr/tests/ManualClock.h"
#include "uilibs/tx/TXEventDispatcher.h"
#include "uilibs/tx/tests/RunUntil.h"
#include "uilibs/tx/tests/XTestHelpers.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace svrtest {

using txtest::Connection;

inline Connection connect(const std::string& name, bool useXkb = true) {
  // Xlib decides at open time whether a connection uses XKB; ignoring the
  // extension gives the core-protocol keyboard of a server without it.
  if (!useXkb)
    XkbIgnoreExtension(True);
  Connection dpy(XOpenDisplay(name.c_str()));
  if (!useXkb)
    XkbIgnoreExtension(False);
  if (!dpy)
    throw std::runtime_error("cannot connect to " + name);
  return dpy;
}

// Where the pointer is, asked through `dpy`.
inline std::pair<int, int> pointerOf(Display* dpy) {
  Window root = 0;
  Window child = 0;
  int x = 0;
  int y = 0;
  int windowX = 0;
  int windowY = 0;
  unsigned int mask = 0;
  XQueryPointer(dpy, DefaultRootWindow(dpy), &root, &child, &x, &y, &windowX, &windowY, &mask);
  return {x, y};
}

using txtest::dispatchEvents;

// What an application sees of one key or button event.
struct SeenEvent {
  int type;
  unsigned int code; // keycode or button
  unsigned int state;
  KeySym keysym;     // key events: the keysym the application looks up
  std::string text;  // key presses: the Latin-1 text looked up
};

// Another application: one window that has the input focus and records the
// key and button events it receives.
class Observer {
public:
  explicit Observer(const std::string& name, int width = 200, int height = 100)
    : dpy_(connect(name)) {
    XSetWindowAttributes attributes;
    attributes.event_mask = KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask |
                            StructureNotifyMask | FocusChangeMask;
    window_ = XCreateWindow(dpy(), DefaultRootWindow(dpy()), 0, 0, width, height, 0, CopyFromParent,
                            InputOutput, CopyFromParent, CWEventMask, &attributes);
    XMapRaised(dpy(), window_);
    waitFor([this] { return mapped_; });
    XSetInputFocus(dpy(), window_, RevertToParent, CurrentTime);
    XSync(dpy(), False);
  }
  ~Observer() { XDestroyWindow(dpy(), window_); }

  Display* dpy() const { return dpy_.get(); }
  Window window() const { return window_; }
  Window root() const { return DefaultRootWindow(dpy()); }

  // Reads what has arrived.
  void collect() {
    while (XPending(dpy())) {
      XEvent event;
      XNextEvent(dpy(), &event);
      record(event);
    }
  }

  std::vector<SeenEvent>& seen() { return seen_; }

  // Runs `pump` and collects until `done` holds or 30 s pass.
  bool waitFor(const std::function<bool()>& done, const std::function<void()>& pump = {},
               Display* other = nullptr) {
    return txtest::runUntil(
      done,
      [&] {
        if (pump)
          pump();
        collect();
      },
      {{dpy(), other}, 20});
  }

  // Waits until `count` key or button events have arrived.
  bool waitForEvents(size_t count, Display* injector) {
    return waitFor([&] { return seen_.size() >= count; }, [injector] { dispatchEvents(injector); },
                   injector);
  }

  // The keycodes, keysyms and state as the server sees them now.
  KeyCode keycodeOf(KeySym keysym) { return XKeysymToKeycode(dpy(), keysym); }

  // Every keycode whose core row holds no keysym, highest first.
  std::vector<int> freeKeycodes() {
    int minKeycode = 0;
    int maxKeycode = 0;
    XDisplayKeycodes(dpy(), &minKeycode, &maxKeycode);
    int perKeycode = 0;
    KeySym* map = XGetKeyboardMapping(dpy(), minKeycode, maxKeycode - minKeycode + 1, &perKeycode);
    std::vector<int> result;
    for (int keycode = maxKeycode; keycode >= minKeycode; --keycode) {
      const KeySym* row = map + (keycode - minKeycode) * perKeycode;
      bool free = true;
      for (int i = 0; i < perKeycode; ++i)
        free = free && row[i] == NoSymbol;
      if (free)
        result.push_back(keycode);
    }
    XFree(map);
    return result;
  }

  std::vector<KeySym> row(int keycode) {
    int perKeycode = 0;
    KeySym* map = XGetKeyboardMapping(dpy(), KeyCode(keycode), 1, &perKeycode);
    std::vector<KeySym> result(map, map + perKeycode);
    XFree(map);
    return result;
  }

  unsigned int lockedMods() {
    XkbStateRec state{};
    XkbGetState(dpy(), XkbUseCoreKbd, &state);
    return state.locked_mods;
  }

  bool keyIsDown(int keycode) {
    char keys[32];
    XQueryKeymap(dpy(), keys);
    return (keys[keycode / 8] >> (keycode % 8)) & 1;
  }

private:
  void record(XEvent& event) {
    switch (event.type) {
    case MapNotify:
      mapped_ = mapped_ || event.xmap.window == window_;
      return;
    case MappingNotify:
      XRefreshKeyboardMapping(&event.xmapping);
      return;
    case KeyPress:
    case KeyRelease: {
      char text[16] = {};
      KeySym keysym = NoSymbol;
      int length = XLookupString(&event.xkey, text, sizeof(text) - 1, &keysym, nullptr);
      seen_.push_back({event.type, event.xkey.keycode, event.xkey.state, keysym,
                       event.type == KeyPress ? std::string(text, length) : std::string()});
      return;
    }
    case ButtonPress:
    case ButtonRelease:
      seen_.push_back({event.type, event.xbutton.button, event.xbutton.state, NoSymbol, {}});
      return;
    default:
      return;
    }
  }

  Connection dpy_;
  Window window_ = 0;
  bool mapped_ = false;
  std::vector<SeenEvent> seen_;
};

} // namespace svrtest
