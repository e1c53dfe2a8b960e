#include "base/rfb/KeyEventInterpreter.h"

#include "base/plat/BoolParameter.h"
#include "base/plat/KeyStateModifier.h"
#include "base/plat/LocKey.h"
#include "base/plat/LogSrc.h"

#include <iterator>
#include <utility>

namespace rfb {

namespace {

plat::LogSrc vlog("KeyEventInterpreter");

plat::BoolParameter alterShiftWithMods("AlterShiftWithMods",
                                       plat::LocKey("rfb_param_alter_shift_with_mods"), true);

constexpr uint32_t XK_Tab = 0xff09;
constexpr uint32_t XK_Multi_key = 0xff20;
constexpr uint32_t XK_Mode_switch = 0xff7e;
constexpr uint32_t XK_Num_Lock = 0xff7f;
constexpr uint32_t XK_Shift_L = 0xffe1;
constexpr uint32_t XK_Shift_R = 0xffe2;
constexpr uint32_t XK_Control_L = 0xffe3;
constexpr uint32_t XK_Control_R = 0xffe4;
constexpr uint32_t XK_Caps_Lock = 0xffe5;
constexpr uint32_t XK_Alt_L = 0xffe9;
constexpr uint32_t XK_Alt_R = 0xffea;
constexpr uint32_t XK_Super_L = 0xffeb;
constexpr uint32_t XK_Super_R = 0xffec;
constexpr uint32_t XK_ISO_Level3_Shift = 0xfe03;

constexpr int levelCount = 4;
constexpr int shiftBit = 1;
constexpr int level3Bit = 2;

// Pairs of keysyms that type the same thing; either side may stand in for
// the other when a keyboard lacks it.
constexpr std::pair<uint32_t, uint32_t> equivalents[] = {
  {0xffe2, 0xffe1}, // Shift_R, Shift_L
  {0xffe4, 0xffe3}, // Control_R, Control_L
  {0xffe8, 0xffe7}, // Meta_R, Meta_L
  {0xffea, 0xffe9}, // Alt_R, Alt_L
  {0xffec, 0xffeb}, // Super_R, Super_L
  {0xffee, 0xffed}, // Hyper_R, Hyper_L
  {0xff7e, 0xfe03}, // Mode_switch, ISO_Level3_Shift
  {0xff80, 0x0020}, // KP_Space, space
  {0xff89, 0xff09}, // KP_Tab, Tab
  {0xff8d, 0xff0d}, // KP_Enter, Return
  {0xff91, 0xffbe}, // KP_F1, F1
  {0xff92, 0xffbf}, // KP_F2, F2
  {0xff93, 0xffc0}, // KP_F3, F3
  {0xff94, 0xffc1}, // KP_F4, F4
  {0xff95, 0xff50}, // KP_Home, Home
  {0xff96, 0xff51}, // KP_Left, Left
  {0xff97, 0xff52}, // KP_Up, Up
  {0xff98, 0xff53}, // KP_Right, Right
  {0xff99, 0xff54}, // KP_Down, Down
  {0xff9a, 0xff55}, // KP_Prior, Prior
  {0xff9b, 0xff56}, // KP_Next, Next
  {0xff9c, 0xff57}, // KP_End, End
  {0xff9d, 0xff58}, // KP_Begin, Begin
  {0xff9e, 0xff63}, // KP_Insert, Insert
  {0xff9f, 0xffff}, // KP_Delete, Delete
  {0xffbd, 0x003d}, // KP_Equal, equal
  {0xffaa, 0x002a}, // KP_Multiply, asterisk
  {0xffab, 0x002b}, // KP_Add, plus
  {0xffac, 0x002c}, // KP_Separator, comma
  {0xffad, 0x002d}, // KP_Subtract, minus
  {0xffae, 0x002e}, // KP_Decimal, period
  {0xffaf, 0x002f}, // KP_Divide, slash
  {0xffb0, 0x0030}, // KP_0, 0
  {0xffb1, 0x0031}, // KP_1, 1
  {0xffb2, 0x0032}, // KP_2, 2
  {0xffb3, 0x0033}, // KP_3, 3
  {0xffb4, 0x0034}, // KP_4, 4
  {0xffb5, 0x0035}, // KP_5, 5
  {0xffb6, 0x0036}, // KP_6, 6
  {0xffb7, 0x0037}, // KP_7, 7
  {0xffb8, 0x0038}, // KP_8, 8
  {0xffb9, 0x0039}, // KP_9, 9
};
static_assert(std::size(equivalents) == 42);

} // namespace

KeyEventInterpreter::Callback::~Callback() = default;

bool KeyEventInterpreter::Callback::isNumLockOn() {
  return false;
}

bool KeyEventInterpreter::Callback::isCapsLockOn() {
  return false;
}

int KeyEventInterpreter::Callback::addKeysym(uint32_t) {
  return -1;
}

int KeyEventInterpreter::Callback::searchLevel(uint32_t keysym, int level) {
  for (int keycode = minKeycode_; keycode <= maxKeycode_; ++keycode) {
    if (keycodeToKeysym(keycode, level) == keysym)
      return keycode;
  }
  return -1;
}

int KeyEventInterpreter::Callback::keysymToKeycode(uint32_t keysym, int* level) {
  // NoSymbol is what every empty slot answers: it names no key.
  if (keysym == 0)
    return -1;
  if (level) {
    const int keycode = searchLevel(keysym, *level);
    if (keycode >= 0)
      return keycode;
  }
  for (int l = 0; l < levelCount; ++l) {
    if (level && l == *level)
      continue;
    const int keycode = searchLevel(keysym, l);
    if (keycode < 0)
      continue;
    if (level)
      *level = l;
    return keycode;
  }
  return -1;
}

KeyEventInterpreter::KeyEventInterpreter(Callback& callback) : callback_(&callback) {}

KeyEventInterpreter::~KeyEventInterpreter() = default;

bool KeyEventInterpreter::isModifierKeysym(uint32_t keysym) {
  return (keysym >= 0xffe1 && keysym <= 0xffef) || (keysym >= 0xff7e && keysym <= 0xff7f) ||
         (keysym >= 0xfe01 && keysym <= 0xfe0f);
}

bool KeyEventInterpreter::isKeypadKeysym(uint32_t keysym) {
  return keysym >= 0xff80 && keysym <= 0xffbd;
}

bool KeyEventInterpreter::isFunctionKeysym(uint32_t keysym) {
  return keysym >= 0xffbe && keysym <= 0xffc9;
}

uint32_t KeyEventInterpreter::equivalentKeysym(uint32_t keysym) {
  for (const auto& [left, right] : equivalents) {
    if (left == keysym)
      return right;
  }
  for (const auto& [left, right] : equivalents) {
    if (right == keysym)
      return left;
  }
  return 0;
}

void KeyEventInterpreter::refreshKeycodes() {
  numLockKeycode_ = callback_->keysymToKeycode(XK_Num_Lock, nullptr);
  capsLockKeycode_ = callback_->keysymToKeycode(XK_Caps_Lock, nullptr);
}

void KeyEventInterpreter::setKeyState(int keycode, bool down) {
  pressKeycode(keycode, 0, down);
}

void KeyEventInterpreter::pressKeycode(int keycode, uint32_t keysym, bool down) {
  if (keycode < 0)
    return;
  if (down && keysym != 0) {
    // A repeat that finds the keysym on another keycode (the layout changed
    // while it was held) must not leave the first keycode down for ever.
    auto it = pressedKeys_.find(keysym);
    if (it != pressedKeys_.end() && it->second != keycode)
      pressKeycode(it->second, keysym, false);
  }
  vlog.debug("keysym 0x%04x keycode %3d down %d", keysym, keycode, down);
  callback_->fakeKeyEvent(keycode, down);
  if (down) {
    heldKeycodes_.insert(keycode);
    if (keysym != 0)
      pressedKeys_[keysym] = keycode;
    return;
  }
  heldKeycodes_.erase(keycode);
  if (keysym != 0)
    pressedKeys_.erase(keysym);
}

void KeyEventInterpreter::releasePressedKeys() {
  while (!pressedKeys_.empty()) {
    const auto [keysym, keycode] = *pressedKeys_.begin();
    vlog.debug("releasePressedKeys: keycode %3d", keycode);
    pressKeycode(keycode, keysym, false);
  }
}

void KeyEventInterpreter::setModifier(uint32_t a, uint32_t b, bool wanted,
                                      plat::KeyStateModifier& scope) {
  if (!wanted) {
    for (uint32_t keysym : {a, b}) {
      auto it = pressedKeys_.find(keysym);
      if (it != pressedKeys_.end())
        scope.set(it->second, false);
    }
    return;
  }
  if (isPressed(a, b))
    return;
  int keycode = callback_->keysymToKeycode(a, nullptr);
  if (keycode < 0)
    keycode = callback_->keysymToKeycode(b, nullptr);
  if (keycode >= 0)
    scope.set(keycode, true);
}

void KeyEventInterpreter::toggleNumLock() {
  if (numLockKeycode_ < 0)
    return;
  // Shift would turn the Num Lock key into another keysym on some layouts.
  plat::KeyStateModifier scope(*this);
  setModifier(XK_Shift_L, XK_Shift_R, false, scope);
  pressKeycode(numLockKeycode_, 0, true);
  pressKeycode(numLockKeycode_, 0, false);
}

bool KeyEventInterpreter::tryPress(uint32_t lookup, uint32_t recorded) {
  // Viewers never toggle Caps Lock: their keysyms already carry the case.
  if (lookup == XK_Caps_Lock)
    return true;
  if (callback_->isCapsLockOn()) {
    pressKeycode(capsLockKeycode_, 0, true);
    pressKeycode(capsLockKeycode_, 0, false);
  }

  const bool keypad = isKeypadKeysym(lookup);
  const bool shiftHeld = isPressed(XK_Shift_L, XK_Shift_R);
  bool numLockOn = false;
  int preferred = 0;
  if (keypad) {
    numLockOn = callback_->isNumLockOn();
    preferred = numLockOn ? shiftBit : 0;
  } else {
    if (shiftHeld)
      preferred |= shiftBit;
    if (isPressed(XK_ISO_Level3_Shift, XK_Mode_switch))
      preferred |= level3Bit;
  }

  int found = preferred;
  const int keycode = callback_->keysymToKeycode(lookup, &found);
  if (keycode < 0)
    return false;

  int level = isFunctionKeysym(lookup) ? preferred : found;
  if (!alterShiftWithMods && (isPressed(XK_Control_L, XK_Control_R) ||
                              isPressed(XK_Alt_L, XK_Alt_R) || isPressed(XK_Super_L, XK_Super_R)))
    level = preferred;
  if (lookup == XK_Tab && shiftHeld)
    level |= shiftBit;

  plat::KeyStateModifier scope(*this);
  if (!keypad) {
    setModifier(XK_Shift_L, XK_Shift_R, level & shiftBit, scope);
    setModifier(XK_ISO_Level3_Shift, XK_Mode_switch, level & level3Bit, scope);
  } else if (bool(level & shiftBit) != numLockOn) {
    // The Num Lock change is meant to last: keypad keys that follow want it.
    toggleNumLock();
  }
  pressKeycode(keycode, recorded, true);
  return true;
}

bool KeyEventInterpreter::sendKey(uint32_t keysym, bool down) {
  auto it = pressedKeys_.find(keysym);
  if (it != pressedKeys_.end()) {
    if (!down) {
      pressKeycode(it->second, keysym, false);
      return true;
    }
    if (isModifierKeysym(keysym))
      return true;
  } else if (!down) {
    return true;
  }
  if (tryPress(keysym, keysym))
    return true;
  // Recorded under the viewer's keysym so that its release finds the key.
  const uint32_t equivalent = equivalentKeysym(keysym);
  return equivalent != 0 && tryPress(equivalent, keysym);
}

bool KeyEventInterpreter::hasKeycode(uint32_t keysym) {
  return callback_->keysymToKeycode(keysym, nullptr) >= 0;
}

bool KeyEventInterpreter::pressComposed(uint32_t keysym) {
  const auto parts = deadKeys_.decompose(keysym);
  if (!parts || !hasKeycode(parts->first) || !hasKeycode(parts->second))
    return false;
  const auto [dead, base] = *parts;
  sendKey(dead, true);
  sendKey(dead, false);
  sendKey(base, true);
  sendKey(base, false);
  return true;
}

bool KeyEventInterpreter::pressFallbacks(uint32_t keysym) {
  if (pressComposed(keysym))
    return true;
  const int keycode = callback_->addKeysym(keysym);
  if (keycode >= 0) {
    pressKeycode(keycode, keysym, true);
    return true;
  }
  if (keysym == XK_Multi_key) {
    composePending_ = true;
    return true;
  }
  return false;
}

bool KeyEventInterpreter::keyEvent(uint32_t keysym, bool down) {
  // NoSymbol from a viewer types nothing; taken as a key it would be pressed
  // as a modifier adjustment, which no release ever matches.
  if (keysym == 0)
    return false;
  if (!composePending_ || isModifierKeysym(keysym)) {
    if (sendKey(keysym, down) || !down)
      return true;
    return pressFallbacks(keysym);
  }
  if (!down)
    return sendKey(keysym, false);

  composePending_ = false;
  const uint32_t dead = deadKeys_.deadForSpacing(keysym);
  if (dead != 0 && sendKey(dead, true)) {
    sendKey(dead, false);
    return true;
  }
  // A keyboard that cannot type the dead key either still gets the key
  // itself rather than losing it.
  if (sendKey(keysym, true))
    return true;
  return pressFallbacks(keysym);
}

} // namespace rfb
