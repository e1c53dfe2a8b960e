#pragma once

// Injects the key events that viewers send into the X server (XTEST). The
// keysym decisions belong to rfb::KeyEventInterpreter; this is its X back
// end: the keyboard map (XKB when the server and the library offer it, the
// core map otherwise), faked key presses, Num Lock and Caps Lock tracking,
// keysyms that the map lacks put on spare keycodes, and the server's global
// auto-repeat kept off while viewers type so that held keys never repeat on
// the server.
//
// Invariants: modifierState_ is the last known X modifier mask (ShiftMask,
// LockMask, Mod1..Mod5), updated by our own lock presses at once and by the
// server through XKB state events or pointer queries; autoRepeatDisabled_ is
// true exactly while this object holds the server's auto-repeat off;
// addedKeys_ lists the keycodes this object gave a keysym, each with that
// keysym, the one pressed longest ago first. Event-loop thread only.

#include "base/plat/Timer.h"
#include "base/rfb/KeyEventInterpreter.h"
#include "uilibs/tx/TXEventHandler.h"
#include "uilibs/tx/XTypes.h"

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

struct _XkbDesc;

namespace svr {

class SKeyboardX11 : private plat::Timer::Callback,
                     private tx::TXEventHandler,
                     private rfb::KeyEventInterpreter::Callback {
public:
  // After a key event that leaves no key pressed, the server's auto-repeat
  // comes back on after this long.
  static constexpr int autoRepeatRestoreMs = 3000;

  // `dpy` (not owned) is the connection keys are injected through. Reads the
  // keyboard map and registers for every X event with the toolkit's
  // dispatcher. Without `useXkb` the extension is never asked for, and the
  // keyboard is handled as on a server without it (for a connection that
  // Xlib opened with XKB ignored).
  explicit SKeyboardX11(Display* dpy, bool useXkb = true);
  // stop(), then unregisters.
  ~SKeyboardX11() override;
  SKeyboardX11(const SKeyboardX11&) = delete;
  SKeyboardX11& operator=(const SKeyboardX11&) = delete;

  // One RFB key event. Dropped silently when the server has no XTEST.
  void keyEvent(uint32_t keysym, bool down);
  // Without XKB, reads the modifier state from the server (with XKB the
  // state events keep it fresh).
  void refreshModifierState();
  // Releases every key viewers hold, takes back the keysyms added to the
  // map, restores auto-repeat and gives the server 100 ms to act on it all.
  void stop();

  bool hasXkb() const { return xkb_ != nullptr; }
  bool hasLevel3Shift() const { return hasLevel3Shift_; }
  unsigned int modifierState() const { return modifierState_; }
  unsigned int numLockMask() const { return numLockMask_; }
  unsigned int xkbGroup() const { return group_; }
  bool isAutoRepeatDisabled() const { return autoRepeatDisabled_; }
  bool isAutoRepeatTimerRunning() const { return autoRepeatTimer_.isRunning(); }
  const rfb::KeyEventInterpreter& interpreter() const { return interpreter_; }
  // Keycodes holding a keysym this object added, least recently pressed
  // first.
  const std::vector<std::pair<int, uint32_t>>& addedKeys() const { return addedKeys_; }

  // The keysym of `keycode` at `level` in `group` of an XKB map: an
  // out-of-range group is brought into range by the key's own rule, and a
  // one-level key answers level 1 with its level-0 keysym. 0 for none.
  static uint32_t xkbKeysym(_XkbDesc* xkb, int keycode, unsigned int group, int level);

private:
  struct XkbDescDeleter {
    void operator()(_XkbDesc* desc) const;
  };

  // rfb::KeyEventInterpreter::Callback
  uint32_t keycodeToKeysym(int keycode, int level) override;
  void fakeKeyEvent(int keycode, bool down) override;
  bool isNumLockOn() override;
  bool isCapsLockOn() override;
  int keysymToKeycode(uint32_t keysym, int* level) override;
  int addKeysym(uint32_t keysym) override;

  // tx::TXEventHandler
  void handleEvent(const XEvent& event) override;
  // plat::Timer::Callback
  bool timerFired(plat::Timer& timer) override;

  void initXkb();
  bool fetchXkbMap();
  void handleXkbEvent(const XEvent& event);
  // After any change of the keyboard map.
  void refreshMapping();
  void findNumLockMask();
  void queryModifierState();
  void switchAutoRepeatOff();
  void restoreAutoRepeat();
  // The added keycode pressed longest ago that is not held now; -1.
  int recyclableKeycode() const;
  void markAddedKeyUsed(int keycode);
  bool setKeycodeRow(int keycode, uint32_t keysym, int keysymsPerKeycode);
  void removeAddedKeysyms();

  Display* dpy_;
  rfb::KeyEventInterpreter interpreter_;
  unsigned int modifierState_ = 0;
  unsigned int numLockMask_ = 0;
  plat::Timer autoRepeatTimer_;
  bool autoRepeatDisabled_ = false;
  bool hasLevel3Shift_ = false;
  int xkbEventBase_ = -1;
  std::unique_ptr<_XkbDesc, XkbDescDeleter> xkb_;
  unsigned int group_ = 0;
  std::vector<std::pair<int, uint32_t>> addedKeys_;
};

} // namespace svr
