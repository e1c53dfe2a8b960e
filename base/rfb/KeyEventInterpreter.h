#pragma once

// Turns the keysyms that viewers send into keycode presses and releases on
// whatever layout the desktop keyboard has, without knowing the windowing
// system: the keyboard back end answers through a Callback which keycode
// gives which keysym at which shift level, and performs the presses.
//
// Invariants: pressedKeys_ holds every keysym a viewer holds down, with the
// keycode it went out on, so that its release always matches its press even
// after the layout changed; heldKeycodes_ holds every keycode this object
// has pressed and not released, including modifier keycodes pressed for no
// keysym of their own. Temporary modifier changes never outlive one event.

#include "base/rfb/DeadKeyUtil.h"
#include "base/rfb/KsmCallback_VSBug.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>

namespace plat {
class KeyStateModifier;
}

namespace rfb {

class KeyEventInterpreter : private KsmCallback_VSBug {
public:
  // The keyboard back end. Levels are shift levels: 0 plain, 1 Shift,
  // 2 Level 3 Shift, 3 both.
  class Callback {
  public:
    // The keycode range starts empty until the back end knows it.
    explicit Callback(int minKeycode = 0, int maxKeycode = -1)
      : minKeycode_(minKeycode), maxKeycode_(maxKeycode) {}
    virtual ~Callback();

    // The keysym at the level of the keycode; 0 for none.
    virtual uint32_t keycodeToKeysym(int keycode, int level) = 0;
    // Presses or releases the keycode on the desktop.
    virtual void fakeKeyEvent(int keycode, bool down) = 0;
    // The state of the desktop's lock modifiers. A back end that cannot tell
    // keeps these defaults (off), which make the interpreter leave the locks
    // as they are.
    virtual bool isNumLockOn();
    virtual bool isCapsLockOn();
    // A keycode that gives the keysym, or -1. When `level` is given the
    // search starts at *level and stores the level found there; otherwise
    // every level is searched. The default searches levels 0-3 over the
    // keycode range.
    virtual int keysymToKeycode(uint32_t keysym, int* level);
    // Maps a keysym that no keycode gives onto a spare keycode and returns
    // it; -1 (the default) when it cannot.
    virtual int addKeysym(uint32_t keysym);

    int minKeycode() const { return minKeycode_; }
    int maxKeycode() const { return maxKeycode_; }

  protected:
    void setKeycodeRange(int minKeycode, int maxKeycode) {
      minKeycode_ = minKeycode;
      maxKeycode_ = maxKeycode;
    }

  private:
    int searchLevel(uint32_t keysym, int level);

    int minKeycode_;
    int maxKeycode_;
  };

  // The callback is not owned and must outlive the interpreter. Reads the
  // dead-key tables; the special keycodes are unknown until
  // refreshKeycodes().
  explicit KeyEventInterpreter(Callback& callback);
  ~KeyEventInterpreter() override;
  KeyEventInterpreter(const KeyEventInterpreter&) = delete;
  KeyEventInterpreter& operator=(const KeyEventInterpreter&) = delete;

  // Injects one viewer key event. False when the keysym could not be
  // produced by any route (the key is dropped); NoSymbol (0) is always
  // dropped.
  bool keyEvent(uint32_t keysym, bool down);
  // Releases every keysym that viewers hold, smallest keysym first.
  void releasePressedKeys();
  // Finds the Num Lock and Caps Lock keycodes again (after a keyboard
  // mapping change).
  void refreshKeycodes();

  bool isKeycodeHeld(int keycode) const { return heldKeycodes_.count(keycode) != 0; }
  size_t pressedKeyCount() const { return pressedKeys_.size(); }
  int numLockKeycode() const { return numLockKeycode_; }
  int capsLockKeycode() const { return capsLockKeycode_; }
  bool isComposePending() const { return composePending_; }
  const DeadKeyUtil& deadKeys() const { return deadKeys_; }

  // Keysym classes.
  static bool isModifierKeysym(uint32_t keysym);
  static bool isKeypadKeysym(uint32_t keysym);
  static bool isFunctionKeysym(uint32_t keysym);
  // The keysym that can stand in for `keysym` (KP_Enter for Return and the
  // other way round), or 0.
  static uint32_t equivalentKeysym(uint32_t keysym);

private:
  // plat::KeyStateModifier::Callback: a modifier adjustment, no keysym.
  void setKeyState(int keycode, bool down) override;

  void pressKeycode(int keycode, uint32_t keysym, bool down);
  bool sendKey(uint32_t keysym, bool down);
  bool tryPress(uint32_t lookup, uint32_t recorded);
  bool pressFallbacks(uint32_t keysym);
  bool pressComposed(uint32_t keysym);
  void setModifier(uint32_t a, uint32_t b, bool wanted, plat::KeyStateModifier& scope);
  void toggleNumLock();
  bool isPressed(uint32_t keysym) const { return pressedKeys_.count(keysym) != 0; }
  bool isPressed(uint32_t a, uint32_t b) const { return isPressed(a) || isPressed(b); }
  bool hasKeycode(uint32_t keysym);

  Callback* callback_;
  int numLockKeycode_ = -1;
  int capsLockKeycode_ = -1;
  std::map<uint32_t, int> pressedKeys_;
  std::set<int> heldKeycodes_;
  DeadKeyUtil deadKeys_;
  bool composePending_ = false;
};

} // namespace rfb
