// Keyboard injection against a private Xvfb (US map), once through a
// connection that uses XKB and once through one that ignores it (the core
// keyboard protocol). A second client with the input focus observes what an
// application receives.

#include "libs/svr/tests/InputTestSupport.h"

#include "libs/svr/SKeyboardX11.h"
#include "libs/svr/XTestAvailability.h"

#include "base/plat/TimerManager.h"
#include "testsupport/LogRecorder.h"
#include "testsupport/XvfbServer.h"

#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>
#include <memory>
#include <utility>

namespace {

using svrtest::SeenEvent;

struct Key {
  int type;
  int keycode;
};

bool operator==(const Key& a, const Key& b) {
  return a.type == b.type && a.keycode == b.keycode;
}

void PrintTo(const Key& key, std::ostream* os) {
  *os << (key.type == KeyPress ? "press " : "release ") << key.keycode;
}

std::vector<Key> keysOf(const std::vector<SeenEvent>& seen) {
  std::vector<Key> keys;
  for (const SeenEvent& event : seen) {
    if (event.type == KeyPress || event.type == KeyRelease)
      keys.push_back({event.type, int(event.code)});
  }
  return keys;
}

std::vector<std::string> pressTexts(const std::vector<SeenEvent>& seen) {
  std::vector<std::string> texts;
  for (const SeenEvent& event : seen) {
    if (event.type == KeyPress && !event.text.empty())
      texts.push_back(event.text);
  }
  return texts;
}

class KeyboardTest : public ::testing::TestWithParam<bool> {
protected:
  static void SetUpTestSuite() { server_ = std::make_unique<testsupport::XvfbServer>(); }
  static void TearDownTestSuite() { server_.reset(); }

  void SetUp() override {
    // Another suite may have asked another server.
    svr::XTestAvailability::forget();
    observer_ = std::make_unique<svrtest::Observer>(server_->displayName());
    injector_ = svrtest::connect(server_->displayName(), GetParam());
    keyboard_ = std::make_unique<svr::SKeyboardX11>(injector_.get(), GetParam());
  }

  void TearDown() override {
    keyboard_.reset();
    injector_.reset();
    XAutoRepeatOn(observer_->dpy());
    XSync(observer_->dpy(), False);
    observer_.reset();
  }

  Display* injector() const { return injector_.get(); }
  svrtest::Observer& observer() { return *observer_; }
  svr::SKeyboardX11& keyboard() { return *keyboard_; }

  void press(uint32_t keysym) { keyboard_->keyEvent(keysym, true); }
  void release(uint32_t keysym) { keyboard_->keyEvent(keysym, false); }
  void type(uint32_t keysym) {
    press(keysym);
    release(keysym);
  }
  void pump() { svrtest::dispatchEvents(injector()); }
  // Lets every event the server has sent the injector arrive and be handled.
  void settle() {
    XSync(injector(), False);
    pump();
  }
  bool waitForEvents(size_t count) { return observer_->waitForEvents(count, injector()); }
  int keycodeOf(KeySym keysym) { return observer_->keycodeOf(keysym); }
  bool serverAutoRepeat() {
    // What the injector sent must have reached the server first.
    XSync(injector(), False);
    XKeyboardState state;
    XGetKeyboardControl(observer_->dpy(), &state);
    return state.global_auto_repeat == AutoRepeatModeOn;
  }
  void runTimersAfterMs(int64_t ms) {
    clock_.advanceMs(ms);
    timers_.processTimers();
  }

  static std::unique_ptr<testsupport::XvfbServer> server_;
  svrtest::ManualClock clock_;
  plat::TimerManager timers_{true, &clock_};
  std::unique_ptr<svrtest::Observer> observer_;
  svrtest::Connection injector_;
  std::unique_ptr<svr::SKeyboardX11> keyboard_;
};

std::unique_ptr<testsupport::XvfbServer> KeyboardTest::server_;

TEST_P(KeyboardTest, UsesXkbExactlyWhenTheConnectionHasIt) {
  EXPECT_EQ(keyboard().hasXkb(), GetParam());
  EXPECT_TRUE(keyboard().hasLevel3Shift());
  EXPECT_EQ(keyboard().interpreter().numLockKeycode(), keycodeOf(XK_Num_Lock));
  EXPECT_EQ(keyboard().interpreter().capsLockKeycode(), keycodeOf(XK_Caps_Lock));
  // Num Lock sits on Mod2 in the default map.
  EXPECT_EQ(keyboard().numLockMask(), unsigned(Mod2Mask));
}

TEST_P(KeyboardTest, TypesLettersDigitsAndShiftedPunctuation) {
  for (uint32_t keysym : {XK_a, XK_A, XK_1, XK_exclam})
    type(keysym);
  const int shift = keycodeOf(XK_Shift_L);
  const int a = keycodeOf(XK_a);
  const int one = keycodeOf(XK_1);
  // Shift is held around the press only; the release of the key follows.
  const std::vector<Key> expected{
    {KeyPress, a},     {KeyRelease, a},                                         // a
    {KeyPress, shift}, {KeyPress, a},   {KeyRelease, shift}, {KeyRelease, a},   // A
    {KeyPress, one},   {KeyRelease, one},                                       // 1
    {KeyPress, shift}, {KeyPress, one}, {KeyRelease, shift}, {KeyRelease, one}, // !
  };
  ASSERT_TRUE(waitForEvents(expected.size()));
  EXPECT_EQ(keysOf(observer().seen()), expected);
  EXPECT_EQ(pressTexts(observer().seen()), (std::vector<std::string>{"a", "A", "1", "!"}));
  EXPECT_EQ(keyboard().interpreter().pressedKeyCount(), 0u);
}

TEST_P(KeyboardTest, RepeatedPressOfAHeldKeyIsReleasedAndPressedAgain) {
  press(XK_b);
  press(XK_b);
  release(XK_b);
  const int b = keycodeOf(XK_b);
  const std::vector<Key> expected{{KeyPress, b}, {KeyRelease, b}, {KeyPress, b}, {KeyRelease, b}};
  ASSERT_TRUE(waitForEvents(expected.size()));
  EXPECT_EQ(keysOf(observer().seen()), expected);
}

TEST_P(KeyboardTest, KeypadKeysSwitchNumLockAsTheyNeed) {
  ASSERT_EQ(observer().lockedMods() & Mod2Mask, 0u);
  const int numLock = keycodeOf(XK_Num_Lock);
  const int kp1 = keycodeOf(XK_KP_1);

  // KP_1 is the Num Lock level of its key: Num Lock goes on and stays on.
  type(XK_KP_1);
  std::vector<Key> expected{
    {KeyPress, numLock}, {KeyRelease, numLock}, {KeyPress, kp1}, {KeyRelease, kp1}};
  ASSERT_TRUE(waitForEvents(expected.size()));
  EXPECT_EQ(keysOf(observer().seen()), expected);
  EXPECT_EQ(observer().seen()[2].keysym, KeySym(XK_KP_1));
  EXPECT_NE(observer().lockedMods() & Mod2Mask, 0u);
  settle();
  EXPECT_NE(keyboard().modifierState() & keyboard().numLockMask(), 0u);

  // A second keypad digit needs no toggle.
  type(XK_KP_1);
  expected.insert(expected.end(), {{KeyPress, kp1}, {KeyRelease, kp1}});
  ASSERT_TRUE(waitForEvents(expected.size()));
  EXPECT_EQ(keysOf(observer().seen()), expected);

  // KP_End, on the same key without Num Lock, switches it off again.
  type(XK_KP_End);
  expected.insert(expected.end(), {{KeyPress, numLock},
                                   {KeyRelease, numLock},
                                   {KeyPress, kp1},
                                   {KeyRelease, kp1}});
  ASSERT_TRUE(waitForEvents(expected.size()));
  EXPECT_EQ(keysOf(observer().seen()), expected);
  EXPECT_EQ(observer().seen()[8].keysym, KeySym(XK_KP_End));
  EXPECT_EQ(observer().lockedMods() & Mod2Mask, 0u);
}

TEST_P(KeyboardTest, CapsLockSwitchedOnAtTheDesktopIsTurnedOffBeforeALetter) {
  // Pins: without XKB the Caps Lock state was never read again, so a Caps
  // Lock switched on at the desktop turned every viewer letter upper case.
  const int capsLock = keycodeOf(XK_Caps_Lock);
  XTestFakeKeyEvent(observer().dpy(), capsLock, True, CurrentTime);
  XTestFakeKeyEvent(observer().dpy(), capsLock, False, CurrentTime);
  XSync(observer().dpy(), False);
  ASSERT_TRUE(waitForEvents(2));
  ASSERT_NE(observer().lockedMods() & LockMask, 0u);
  settle();

  type(XK_a);
  ASSERT_TRUE(waitForEvents(6));
  const int a = keycodeOf(XK_a);
  const std::vector<Key> expected{{KeyPress, capsLock}, {KeyRelease, capsLock},
                                  {KeyPress, capsLock}, {KeyRelease, capsLock},
                                  {KeyPress, a},        {KeyRelease, a}};
  EXPECT_EQ(keysOf(observer().seen()), expected);
  EXPECT_EQ(pressTexts(observer().seen()).back(), "a");
  EXPECT_EQ(observer().lockedMods() & LockMask, 0u);
}

TEST_P(KeyboardTest, CapsLockFromAViewerInjectsNothing) {
  type(XK_Caps_Lock);
  type(XK_c);
  const int c = keycodeOf(XK_c);
  ASSERT_TRUE(waitForEvents(2));
  EXPECT_EQ(keysOf(observer().seen()), (std::vector<Key>{{KeyPress, c}, {KeyRelease, c}}));
  EXPECT_EQ(observer().lockedMods() & LockMask, 0u);
}

TEST_P(KeyboardTest, ModeSwitchIsTypedWithLevel3ShiftWhereTheKeyboardHasIt) {
  ASSERT_TRUE(keyboard().hasLevel3Shift());
  press(XK_Mode_switch);
  release(XK_Mode_switch);
  const int level3 = keycodeOf(XK_ISO_Level3_Shift);
  ASSERT_NE(level3, keycodeOf(XK_Mode_switch));
  ASSERT_TRUE(waitForEvents(2));
  EXPECT_EQ(keysOf(observer().seen()),
            (std::vector<Key>{{KeyPress, level3}, {KeyRelease, level3}}));
}

TEST_P(KeyboardTest, KeysHeldWhenStoppedAreReleased) {
  press(XK_Shift_L);
  press(XK_D);
  const int shift = keycodeOf(XK_Shift_L);
  const int d = keycodeOf(XK_d);
  ASSERT_TRUE(waitForEvents(2));
  EXPECT_TRUE(observer().keyIsDown(d));

  keyboard().stop();
  ASSERT_TRUE(waitForEvents(4));
  // The smallest keysym first: D (0x44) before Shift_L (0xffe1).
  EXPECT_EQ(keysOf(observer().seen()), (std::vector<Key>{{KeyPress, shift},
                                                          {KeyPress, d},
                                                          {KeyRelease, d},
                                                          {KeyRelease, shift}}));
  EXPECT_FALSE(observer().keyIsDown(d));
  EXPECT_FALSE(observer().keyIsDown(shift));
  EXPECT_EQ(keyboard().interpreter().pressedKeyCount(), 0u);
}

TEST_P(KeyboardTest, AutoRepeatIsOffWhileTypingAndBackAfterAQuietPeriod) {
  ASSERT_TRUE(serverAutoRepeat());
  press(XK_e);
  EXPECT_FALSE(serverAutoRepeat());
  EXPECT_TRUE(keyboard().isAutoRepeatDisabled());
  EXPECT_FALSE(keyboard().isAutoRepeatTimerRunning());

  release(XK_e);
  EXPECT_TRUE(keyboard().isAutoRepeatTimerRunning());
  runTimersAfterMs(svr::SKeyboardX11::autoRepeatRestoreMs - 1);
  EXPECT_FALSE(serverAutoRepeat());
  runTimersAfterMs(1);
  EXPECT_TRUE(serverAutoRepeat());
  EXPECT_FALSE(keyboard().isAutoRepeatDisabled());
}

TEST_P(KeyboardTest, AutoRepeatStaysOffWhileAKeyIsHeld) {
  // Pins: the restore timer started by an earlier release went on running
  // under a key pressed later, and switched the server's auto-repeat back on
  // while that key was held, so the server repeated it.
  type(XK_f);
  runTimersAfterMs(1000);
  press(XK_g);
  runTimersAfterMs(svr::SKeyboardX11::autoRepeatRestoreMs * 2);
  EXPECT_FALSE(serverAutoRepeat());
  release(XK_g);
  runTimersAfterMs(svr::SKeyboardX11::autoRepeatRestoreMs);
  EXPECT_TRUE(serverAutoRepeat());
}

TEST_P(KeyboardTest, StopRestoresAutoRepeat) {
  press(XK_h);
  ASSERT_FALSE(serverAutoRepeat());
  keyboard().stop();
  EXPECT_TRUE(serverAutoRepeat());
  EXPECT_FALSE(keyboard().isAutoRepeatTimerRunning());
}

TEST_P(KeyboardTest, TheUsersOwnAutoRepeatOffIsLeftAlone) {
  XAutoRepeatOff(observer().dpy());
  XSync(observer().dpy(), False);
  type(XK_i);
  EXPECT_FALSE(keyboard().isAutoRepeatDisabled());
  runTimersAfterMs(svr::SKeyboardX11::autoRepeatRestoreMs);
  keyboard().stop();
  EXPECT_FALSE(serverAutoRepeat());
}

TEST_P(KeyboardTest, UnknownKeysymsGoToTheHighestFreeKeycodesAndAreRemovedOnStop) {
  testsupport::LogRecorder log("SKeyboardX11", 110);
  const uint32_t euro = 0x20ac;
  const uint32_t cyrillicA = 0x6c1;
  ASSERT_EQ(keycodeOf(euro), 0);
  ASSERT_EQ(keycodeOf(cyrillicA), 0);
  const std::vector<int> free = observer().freeKeycodes();
  ASSERT_GE(free.size(), 2u);

  type(euro);
  type(cyrillicA);
  ASSERT_TRUE(waitForEvents(4));
  const std::vector<Key> expected{
    {KeyPress, free[0]}, {KeyRelease, free[0]}, {KeyPress, free[1]}, {KeyRelease, free[1]}};
  EXPECT_EQ(keysOf(observer().seen()), expected);
  EXPECT_EQ(observer().seen()[0].keysym, KeySym(euro));
  EXPECT_EQ(observer().seen()[2].keysym, KeySym(cyrillicA));
  const auto texts = log.texts("SKeyboardX11");
  EXPECT_NE(std::find(texts.begin(), texts.end(),
                      "Added unknown keysym 0x20ac to keycode " + std::to_string(free[0])),
            texts.end());
  EXPECT_NE(std::find(texts.begin(), texts.end(),
                      "Added unknown keysym 0x6c1 to keycode " + std::to_string(free[1])),
            texts.end());

  // Typed again before the map change has come back: the same keycode.
  type(euro);
  ASSERT_TRUE(waitForEvents(6));
  EXPECT_EQ(keysOf(observer().seen())[4], (Key{KeyPress, free[0]}));
  settle();
  type(euro);
  ASSERT_TRUE(waitForEvents(8));
  EXPECT_EQ(keysOf(observer().seen())[6], (Key{KeyPress, free[0]}));
  EXPECT_EQ(keyboard().addedKeys().size(), 2u);

  keyboard().stop();
  EXPECT_EQ(observer().freeKeycodes(), free);
  EXPECT_EQ(keycodeOf(euro), 0);
  EXPECT_TRUE(keyboard().addedKeys().empty());
}

TEST_P(KeyboardTest, AKeycodeWithAKeysymOnlyInALaterColumnIsNotFree) {
  const std::vector<int> free = observer().freeKeycodes();
  KeySym laterOnly[] = {NoSymbol, XK_F21};
  XChangeKeyboardMapping(observer().dpy(), free[0], 2, laterOnly, 1);
  XSync(observer().dpy(), False);
  ASSERT_NE(observer().row(free[0]), std::vector<KeySym>(observer().row(free[0]).size(), NoSymbol));

  type(0x6c7); // Cyrillic_ghe
  ASSERT_TRUE(waitForEvents(2));
  EXPECT_EQ(observer().seen()[0].code, unsigned(free[1]));
  EXPECT_EQ(observer().seen()[0].keysym, KeySym(0x6c7));
  keyboard().stop();
  KeySym none[] = {NoSymbol, NoSymbol};
  XChangeKeyboardMapping(observer().dpy(), free[0], 2, none, 1);
  XSync(observer().dpy(), False);
}

TEST_P(KeyboardTest, ARowChangedByAnotherClientIsNotTakenBack) {
  const std::vector<int> free = observer().freeKeycodes();
  type(0x6c2); // Cyrillic_be
  ASSERT_TRUE(waitForEvents(2));
  ASSERT_EQ(observer().seen()[0].code, unsigned(free[0]));
  KeySym mine[] = {XK_F20};
  XChangeKeyboardMapping(observer().dpy(), free[0], 1, mine, 1);
  XSync(observer().dpy(), False);

  keyboard().stop();
  EXPECT_EQ(observer().row(free[0])[0], KeySym(XK_F20));
  KeySym none[] = {NoSymbol};
  XChangeKeyboardMapping(observer().dpy(), free[0], 1, none, 1);
  XSync(observer().dpy(), False);
}

// Leaves `keep` free keycodes and gives every other free one a keysym of its
// own for the life of the scope.
class FullKeyboard {
public:
  FullKeyboard(Display* dpy, std::vector<int> free, size_t keep) : dpy_(dpy) {
    for (size_t i = keep; i < free.size(); ++i) {
      KeySym filler[] = {KeySym(0x1000f00 + i)};
      XChangeKeyboardMapping(dpy_, free[i], 1, filler, 1);
      filled_.push_back(free[i]);
    }
    XSync(dpy_, False);
  }
  ~FullKeyboard() {
    for (int keycode : filled_) {
      KeySym none[] = {NoSymbol};
      XChangeKeyboardMapping(dpy_, keycode, 1, none, 1);
    }
    XSync(dpy_, False);
  }

private:
  Display* dpy_;
  std::vector<int> filled_;
};

TEST_P(KeyboardTest, AFullMapGivesTheOldestAddedKeycodeToANewKeysym) {
  // Pins: once the spare keycodes were used up, every further unknown
  // keysym was dropped for the rest of the session.
  const std::vector<int> free = observer().freeKeycodes();
  FullKeyboard full(observer().dpy(), free, 1);
  settle();

  type(0x6c3); // Cyrillic_tse
  // An application looks a key up when it reads the event, so the keycode
  // is reused only after the first keysym has been typed.
  ASSERT_TRUE(waitForEvents(2));
  type(0x6c4); // Cyrillic_de
  ASSERT_TRUE(waitForEvents(4));
  EXPECT_EQ(keysOf(observer().seen()), (std::vector<Key>{{KeyPress, free[0]},
                                                          {KeyRelease, free[0]},
                                                          {KeyPress, free[0]},
                                                          {KeyRelease, free[0]}}));
  EXPECT_EQ(observer().seen()[0].keysym, KeySym(0x6c3));
  EXPECT_EQ(observer().seen()[2].keysym, KeySym(0x6c4));
  keyboard().stop();
}

TEST_P(KeyboardTest, AFullMapWithEveryAddedKeyHeldDropsTheKeysym) {
  testsupport::LogRecorder log("SKeyboardX11", 110);
  const std::vector<int> free = observer().freeKeycodes();
  FullKeyboard full(observer().dpy(), free, 1);
  settle();

  press(0x6c5); // Cyrillic_ie, held
  press(0x6c6); // Cyrillic_ef
  release(0x6c6);
  release(0x6c5);
  ASSERT_TRUE(waitForEvents(2));
  EXPECT_EQ(keysOf(observer().seen()),
            (std::vector<Key>{{KeyPress, free[0]}, {KeyRelease, free[0]}}));
  const auto texts = log.texts("SKeyboardX11");
  EXPECT_NE(std::find(texts.begin(), texts.end(),
                      "Keyboard mapping full - ignoring unknown keysym 0x6c6"),
            texts.end());
  keyboard().stop();
}

struct ModifierMapDeleter {
  void operator()(XModifierKeymap* map) const { XFreeModifiermap(map); }
};

TEST_P(KeyboardTest, FollowsMappingChangesOfOtherClients) {
  // Another client moves Num Lock to a spare keycode and binds it to Mod3.
  const std::vector<int> free = observer().freeKeycodes();
  const int oldNumLock = keycodeOf(XK_Num_Lock);
  KeySym numLock[] = {XK_Num_Lock};
  KeySym none[] = {NoSymbol};
  XChangeKeyboardMapping(observer().dpy(), free[0], 1, numLock, 1);
  XChangeKeyboardMapping(observer().dpy(), oldNumLock, 1, none, 1);
  std::unique_ptr<XModifierKeymap, ModifierMapDeleter> modifiers(
    XGetModifierMapping(observer().dpy()));
  auto change = [&](int remove, int removeIndex, int insert, int insertIndex) {
    XModifierKeymap* map = modifiers.release();
    map = XDeleteModifiermapEntry(map, KeyCode(remove), removeIndex);
    modifiers.reset(XInsertModifiermapEntry(map, KeyCode(insert), insertIndex));
    return XSetModifierMapping(observer().dpy(), modifiers.get());
  };
  ASSERT_EQ(change(oldNumLock, Mod2MapIndex, free[0], Mod3MapIndex), MappingSuccess);
  XSync(observer().dpy(), False);

  ASSERT_TRUE(observer().waitFor(
    [&] { return keyboard().interpreter().numLockKeycode() == free[0]; }, [&] { pump(); },
    injector()));
  ASSERT_TRUE(observer().waitFor([&] { return keyboard().numLockMask() == unsigned(Mod3Mask); },
                                 [&] { pump(); }, injector()));

  // Put the default map back.
  EXPECT_EQ(change(free[0], Mod3MapIndex, oldNumLock, Mod2MapIndex), MappingSuccess);
  XChangeKeyboardMapping(observer().dpy(), oldNumLock, 1, numLock, 1);
  XChangeKeyboardMapping(observer().dpy(), free[0], 1, none, 1);
  XSync(observer().dpy(), False);
  EXPECT_TRUE(observer().waitFor(
    [&] {
      return keyboard().interpreter().numLockKeycode() == oldNumLock &&
             keyboard().numLockMask() == unsigned(Mod2Mask);
    },
    [&] { pump(); }, injector()));
}

TEST_P(KeyboardTest, TracksTheModifierStateOfTheServer) {
  XkbLockModifiers(observer().dpy(), XkbUseCoreKbd, Mod2Mask, Mod2Mask);
  XSync(observer().dpy(), False);
  if (GetParam()) {
    // XKB state events keep the state without asking.
    EXPECT_TRUE(observer().waitFor([&] { return (keyboard().modifierState() & Mod2Mask) != 0; },
                                   [&] { pump(); }, injector()));
  } else {
    keyboard().refreshModifierState();
    EXPECT_NE(keyboard().modifierState() & Mod2Mask, 0u);
  }
  XkbLockModifiers(observer().dpy(), XkbUseCoreKbd, Mod2Mask, 0);
  XSync(observer().dpy(), False);
}

INSTANTIATE_TEST_SUITE_P(XkbAndCore, KeyboardTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? std::string("Xkb") : std::string("Core");
                         });

} // namespace
