#include "libs/svr/SKeyboardX11.h"

#include "libs/svr/PointerState.h"
#include "libs/svr/XTestAvailability.h"

#include "base/plat/Exception.h"
#include "base/plat/LogSrc.h"
#include "base/plat/Sleep.h"
#include "uilibs/tx/ErrorCatcher.h"
#include "uilibs/tx/TXEventDispatcher.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <algorithm>

namespace svr {

namespace {

plat::LogSrc vlog("SKeyboardX11");

constexpr uint32_t XK_Mode_switch_ = 0xff7e;
constexpr uint32_t XK_ISO_Level3_Shift_ = 0xfe03;

constexpr unsigned int xkbEventMask = XkbNewKeyboardNotifyMask | XkbMapNotifyMask | XkbStateNotifyMask;

// The time a stop gives the server to act on the releases before anything
// else (a disconnection, a new viewer) happens.
constexpr int stopSettleMs = 100;

struct XFreeDeleter {
  void operator()(void* data) const { XFree(data); }
};
using KeySymArray = std::unique_ptr<KeySym, XFreeDeleter>;

struct ModifierMapDeleter {
  void operator()(XModifierKeymap* map) const { XFreeModifiermap(map); }
};
using ModifierMap = std::unique_ptr<XModifierKeymap, ModifierMapDeleter>;

// The core keysyms of keycodes first..first+count-1, `perKeycode` to a row.
KeySymArray readKeyboardMapping(Display* dpy, int first, int count, int& perKeycode) {
  perKeycode = 0;
  if (count <= 0)
    return nullptr;
  KeySymArray map(XGetKeyboardMapping(dpy, KeyCode(first), count, &perKeycode));
  if (perKeycode <= 0)
    return nullptr;
  return map;
}

bool rowIsFree(const KeySym* row, int perKeycode) {
  return std::all_of(row, row + perKeycode, [](KeySym keysym) { return keysym == NoSymbol; });
}

// The row still starts with what addKeysym() put there. The rest of it is
// not compared: an XKB server fills the other columns itself (the second
// group repeats the first, a letter gains its other case).
bool rowStartsWith(const KeySym* row, uint32_t keysym) {
  return row[0] == keysym;
}

} // namespace

void SKeyboardX11::XkbDescDeleter::operator()(_XkbDesc* desc) const {
  XkbFreeKeyboard(desc, XkbAllComponentsMask, True);
}

SKeyboardX11::SKeyboardX11(Display* dpy, bool useXkb)
  : dpy_(dpy), interpreter_(*this), autoRepeatTimer_(*this) {
  tx::TXEventDispatcher::addEventHandler(this, true);

  int minKeycode = 0;
  int maxKeycode = 0;
  XDisplayKeycodes(dpy_, &minKeycode, &maxKeycode);
  setKeycodeRange(minKeycode, maxKeycode);

  if (useXkb)
    initXkb();
  else
    vlog.info("XKB not used - using the core keyboard mapping");
  refreshMapping();
}

SKeyboardX11::~SKeyboardX11() {
  stop();
  xkb_.reset();
  tx::TXEventDispatcher::addEventHandler(this, false);
  autoRepeatTimer_.stop();
}

void SKeyboardX11::initXkb() {
  int opcode = 0;
  int eventBase = 0;
  int errorBase = 0;
  int major = XkbMajorVersion;
  int minor = XkbMinorVersion;
  if (!XkbQueryExtension(dpy_, &opcode, &eventBase, &errorBase, &major, &minor)) {
    vlog.info("XKB extension not present - using the core keyboard mapping");
    return;
  }
  xkbEventBase_ = eventBase;
  // Once a client has spoken XKB the server tells it of map changes only
  // through XKB events, so these are wanted even without a map.
  XkbSelectEvents(dpy_, XkbUseCoreKbd, xkbEventMask, xkbEventMask);
  if (!fetchXkbMap()) {
    vlog.info("Cannot read the XKB keyboard map - using the core keyboard mapping");
    return;
  }
  vlog.info("XKB extension present - version %d.%d", major, minor);
  XkbStateRec state{};
  if (XkbGetState(dpy_, XkbUseCoreKbd, &state) == Success) {
    group_ = state.group;
    modifierState_ = state.mods;
  }
}

bool SKeyboardX11::fetchXkbMap() {
  XkbDescPtr desc = XkbGetMap(dpy_, XkbKeyTypesMask | XkbKeySymsMask, XkbUseCoreKbd);
  if (!desc)
    return false;
  xkb_.reset(desc);
  setKeycodeRange(desc->min_key_code, desc->max_key_code);
  return true;
}

void SKeyboardX11::refreshMapping() {
  hasLevel3Shift_ = rfb::KeyEventInterpreter::Callback::keysymToKeycode(XK_ISO_Level3_Shift_, nullptr) >= 0;
  interpreter_.refreshKeycodes();
  findNumLockMask();
}

void SKeyboardX11::findNumLockMask() {
  numLockMask_ = 0;
  const int numLock = interpreter_.numLockKeycode();
  if (numLock < 0)
    return;
  ModifierMap map(XGetModifierMapping(dpy_));
  if (!map)
    return;
  for (int modifier = 0; modifier < 8; ++modifier) {
    const KeyCode* keys = map->modifiermap + modifier * map->max_keypermod;
    if (std::find(keys, keys + map->max_keypermod, KeyCode(numLock)) != keys + map->max_keypermod) {
      numLockMask_ = 1u << modifier;
      return;
    }
  }
}

void SKeyboardX11::queryModifierState() {
  modifierState_ = PointerState::query(dpy_).mask;
}

void SKeyboardX11::refreshModifierState() {
  if (!xkb_)
    queryModifierState();
}

void SKeyboardX11::keyEvent(uint32_t keysym, bool down) {
  if (!XTestAvailability::present(dpy_))
    return;
  interpreter_.keyEvent(keysym, down);
  // The restore waits for a moment with no key held: turning auto-repeat
  // back on under a held key would make the server repeat it.
  if (interpreter_.pressedKeyCount() == 0)
    autoRepeatTimer_.start(autoRepeatRestoreMs);
  else
    autoRepeatTimer_.stop();
  XFlush(dpy_);
}

void SKeyboardX11::stop() {
  interpreter_.releasePressedKeys();
  restoreAutoRepeat();
  autoRepeatTimer_.stop();
  removeAddedKeysyms();
  XFlush(dpy_);
  plat::sleep(stopSettleMs);
}

uint32_t SKeyboardX11::xkbKeysym(_XkbDesc* xkb, int keycode, unsigned int group, int level) {
  if (!xkb || !xkb->map || keycode < xkb->min_key_code || keycode > xkb->max_key_code || level < 0)
    return NoSymbol;
  const unsigned int groups = XkbKeyNumGroups(xkb, keycode);
  if (groups == 0)
    return NoSymbol;
  if (group >= groups) {
    const unsigned int info = XkbKeyGroupInfo(xkb, keycode);
    switch (XkbOutOfRangeGroupAction(info)) {
    case XkbClampIntoRange:
      group = groups - 1;
      break;
    case XkbRedirectIntoRange:
      group = XkbOutOfRangeGroupNumber(info);
      if (group >= groups)
        group = 0;
      break;
    default:
      group %= groups;
      break;
    }
  }
  const XkbKeyTypeRec* type = XkbKeyKeyType(xkb, keycode, group);
  if (level >= type->num_levels) {
    // Return, Tab and the like have one level that Shift does not change.
    if (type->num_levels == 1 && level == 1)
      level = 0;
    else
      return NoSymbol;
  }
  return uint32_t(XkbKeySymEntry(xkb, keycode, level, group));
}

uint32_t SKeyboardX11::keycodeToKeysym(int keycode, int level) {
  if (xkb_)
    return xkbKeysym(xkb_.get(), keycode, group_, level);
  if (keycode < 0 || keycode > 255 || level < 0)
    return NoSymbol;
  // The core map is all there is without XKB; the call is deprecated only in
  // favour of XKB.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  return uint32_t(XKeycodeToKeysym(dpy_, KeyCode(keycode), level));
#pragma GCC diagnostic pop
}

void SKeyboardX11::fakeKeyEvent(int keycode, bool down) {
  if (down) {
    if (keycode == interpreter_.numLockKeycode())
      modifierState_ ^= numLockMask_;
    else if (keycode == interpreter_.capsLockKeycode())
      modifierState_ ^= LockMask;
    switchAutoRepeatOff();
    // A repeated press from the viewer: with auto-repeat off the server
    // would ignore a second press of a held key, so release it first.
    if (interpreter_.isKeycodeHeld(keycode))
      XTestFakeKeyEvent(dpy_, keycode, False, CurrentTime);
    markAddedKeyUsed(keycode);
  }
  XTestFakeKeyEvent(dpy_, keycode, down, CurrentTime);
}

bool SKeyboardX11::isNumLockOn() {
  if (!xkb_)
    queryModifierState();
  return (modifierState_ & numLockMask_) != 0;
}

bool SKeyboardX11::isCapsLockOn() {
  // Without XKB no event tells us when somebody at the desktop toggles Caps
  // Lock, and a stale state would type every letter in the wrong case.
  if (!xkb_)
    queryModifierState();
  return (modifierState_ & LockMask) != 0;
}

int SKeyboardX11::keysymToKeycode(uint32_t keysym, int* level) {
  // Where Level 3 Shift exists, Mode_switch is only its equivalent: using
  // the Mode_switch key as well would select a second group.
  if (keysym == XK_Mode_switch_ && hasLevel3Shift_)
    return -1;
  return rfb::KeyEventInterpreter::Callback::keysymToKeycode(keysym, level);
}

int SKeyboardX11::addKeysym(uint32_t keysym) {
  const int first = minKeycode();
  int perKeycode = 0;
  KeySymArray map = readKeyboardMapping(dpy_, first, maxKeycode() - first + 1, perKeycode);
  if (!map)
    return -1;
  auto row = [&](int keycode) { return map.get() + (keycode - first) * perKeycode; };

  // Added before, but the map change has not come back as an event yet.
  for (const auto& [keycode, added] : addedKeys_) {
    if (added == keysym && keycode >= first && keycode <= maxKeycode() &&
        rowStartsWith(row(keycode), keysym))
      return keycode;
  }

  int keycode = -1;
  for (int candidate = maxKeycode(); candidate >= first; --candidate) {
    if (rowIsFree(row(candidate), perKeycode)) {
      keycode = candidate;
      break;
    }
  }
  // A full map would otherwise refuse every new keysym for the rest of the
  // session: the added keysym used longest ago gives its keycode up.
  if (keycode < 0)
    keycode = recyclableKeycode();
  if (keycode < 0) {
    vlog.status("Keyboard mapping full - ignoring unknown keysym 0x%x", keysym);
    return -1;
  }
  if (!setKeycodeRow(keycode, keysym, perKeycode))
    return -1;
  std::erase_if(addedKeys_, [keycode](const auto& entry) { return entry.first == keycode; });
  addedKeys_.emplace_back(keycode, keysym);
  vlog.status("Added unknown keysym 0x%x to keycode %d", keysym, keycode);
  return keycode;
}

void SKeyboardX11::markAddedKeyUsed(int keycode) {
  auto it = std::find_if(addedKeys_.begin(), addedKeys_.end(),
                         [keycode](const auto& entry) { return entry.first == keycode; });
  if (it != addedKeys_.end())
    std::rotate(it, it + 1, addedKeys_.end());
}

int SKeyboardX11::recyclableKeycode() const {
  for (const auto& [keycode, keysym] : addedKeys_) {
    if (!interpreter_.isKeycodeHeld(keycode))
      return keycode;
  }
  return -1;
}

bool SKeyboardX11::setKeycodeRow(int keycode, uint32_t keysym, int perKeycode) {
  std::vector<KeySym> row(perKeycode, NoSymbol);
  row[0] = keysym;
  tx::ErrorCatcher catcher(100);
  XChangeKeyboardMapping(dpy_, keycode, perKeycode, row.data(), 1);
  XSync(dpy_, False);
  try {
    catcher.check("XChangeKeyboardMapping");
  } catch (const plat::Exception& e) {
    vlog.status("[%s] %s", e.type(), e.str());
    return false;
  }
  return true;
}

void SKeyboardX11::removeAddedKeysyms() {
  // The keysyms were put there for the viewers; the desktop's own map should
  // not keep them after the viewers are gone, nor run out of spare keycodes
  // over many sessions. A row that somebody else changed meanwhile is left
  // alone.
  for (const auto& [keycode, keysym] : addedKeys_) {
    int perKeycode = 0;
    KeySymArray row = readKeyboardMapping(dpy_, keycode, 1, perKeycode);
    if (!row || !rowStartsWith(row.get(), keysym))
      continue;
    if (setKeycodeRow(keycode, NoSymbol, perKeycode))
      vlog.debug("Removed added keysym 0x%x from keycode %d", keysym, keycode);
  }
  addedKeys_.clear();
}

void SKeyboardX11::switchAutoRepeatOff() {
  if (autoRepeatDisabled_)
    return;
  XKeyboardState state;
  XGetKeyboardControl(dpy_, &state);
  // The user's own choice of no auto-repeat is never overridden.
  if (state.global_auto_repeat != AutoRepeatModeOn)
    return;
  autoRepeatTimer_.stop();
  autoRepeatDisabled_ = true;
  XAutoRepeatOff(dpy_);
}

void SKeyboardX11::restoreAutoRepeat() {
  if (!autoRepeatDisabled_)
    return;
  autoRepeatDisabled_ = false;
  XAutoRepeatOn(dpy_);
}

bool SKeyboardX11::timerFired(plat::Timer&) {
  restoreAutoRepeat();
  XFlush(dpy_);
  return false;
}

void SKeyboardX11::handleEvent(const XEvent& event) {
  if (event.xany.display != dpy_)
    return;
  if (event.type == MappingNotify) {
    refreshMapping();
    return;
  }
  if (xkbEventBase_ >= 0 && event.type == xkbEventBase_)
    handleXkbEvent(event);
}

void SKeyboardX11::handleXkbEvent(const XEvent& event) {
  const XkbEvent& xkbEvent = reinterpret_cast<const XkbEvent&>(event);
  switch (xkbEvent.any.xkb_type) {
  case XkbNewKeyboardNotify:
  case XkbMapNotify:
    // Without a map of our own the core lookups still see the change.
    if (!fetchXkbMap() && xkb_)
      vlog.status("Cannot read the changed XKB keyboard map - keeping the old one");
    refreshMapping();
    return;
  case XkbStateNotify:
    if (!xkb_)
      return;
    group_ = xkbEvent.state.group;
    modifierState_ = xkbEvent.state.mods;
    return;
  default:
    return;
  }
}

} // namespace svr
