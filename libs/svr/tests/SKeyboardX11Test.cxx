// Keyboard injection against a private Xvfb, through a connection that uses
// XKB and one that ignores it (the core protocol). A second client with the
// input focus sees what an application receives: the keys and the keysyms
// it looks up in the current group. The keysym decisions (modifiers around a
// key, dead keys) are rfb::KeyEventInterpreter's, tested with a fake layout.

#include "libs/svr/tests/InputTestSupport.h"

#include "libs/svr/SKeyboardX11.h"
#include "libs/svr/XTestAvailability.h"

#include "base/plat/TimerManager.h"
#include "testsupport/ChildProcess.h"
#include "testsupport/LogRecorder.h"
#include "testsupport/XvfbServer.h"

#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>
#include <memory>
#include <utility>

namespace {

using Key = std::pair<int, int>; // event type, keycode
constexpr int P = KeyPress;
constexpr int R = KeyRelease;

// What an application sees of one key event: the key and the keysym it
// looks up.
struct SeenEvent {
  int type;
  unsigned int code;
  KeySym keysym;
};

// Another application: a window that has the input focus and records the
// key events it receives.
class Observer {
public:
  explicit Observer(const std::string& name)
    : window_(name, 0, 0, KeyPressMask | KeyReleaseMask | FocusChangeMask,
              [this](XEvent& event) { collect(event); }) {
    XSetInputFocus(dpy(), window_.window(), RevertToParent, CurrentTime);
    // As toolkits do: once Xlib has read the XKB map, the server tells it of
    // changes (keysyms added to spare keycodes) only through XKB events.
    XkbQueryExtension(dpy(), nullptr, &xkbEventBase_, nullptr, nullptr, nullptr);
    XkbSelectEvents(dpy(), XkbUseCoreKbd, XkbNewKeyboardNotifyMask | XkbMapNotifyMask,
                    XkbNewKeyboardNotifyMask | XkbMapNotifyMask);
    XSync(dpy(), False);
  }

  Display* dpy() const { return window_.dpy(); }
  std::vector<SeenEvent>& seen() { return seen_; }

  bool waitFor(const std::function<bool()>& done, const std::function<void()>& pump,
               Display* other) {
    return window_.waitFor(done, pump, other);
  }

  // Waits until `count` key events have arrived.
  bool waitForEvents(size_t count, Display* injector) {
    return waitFor([&] { return seen_.size() >= count; },
                   [injector] { svrtest::dispatchEvents(injector); }, injector);
  }

  KeyCode keycodeOf(KeySym keysym) { return XKeysymToKeycode(dpy(), keysym); }

  // Every keycode whose core row holds no keysym, highest first.
  std::vector<int> freeKeycodes() {
    int minKeycode = 0;
    int maxKeycode = 0;
    XDisplayKeycodes(dpy(), &minKeycode, &maxKeycode);
    std::vector<int> result;
    for (int keycode = maxKeycode; keycode >= minKeycode; --keycode) {
      const std::vector<KeySym> keysyms = row(keycode);
      if (std::all_of(keysyms.begin(), keysyms.end(), [](KeySym k) { return k == NoSymbol; }))
        result.push_back(keycode);
    }
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

private:
  void collect(XEvent& event) {
    auto& xkb = reinterpret_cast<XkbEvent&>(event);
    if (event.type == MappingNotify)
      XRefreshKeyboardMapping(&event.xmapping);
    else if (event.type == xkbEventBase_ && xkb.any.xkb_type == XkbMapNotify)
      XkbRefreshKeyboardMapping(&xkb.map);
    else if (event.type == KeyPress || event.type == KeyRelease)
      record(event.xkey);
  }

  void record(XKeyEvent& event) {
    char text[8];
    KeySym keysym = NoSymbol;
    XLookupString(&event, text, sizeof(text), &keysym, nullptr);
    seen_.push_back({event.type, event.keycode, keysym});
  }

  // Before the window, whose construction collects events already.
  int xkbEventBase_ = -1;
  std::vector<SeenEvent> seen_;
  svrtest::EventWindow window_;
};

std::vector<Key> keysOf(const std::vector<SeenEvent>& seen) {
  std::vector<Key> keys;
  for (const SeenEvent& event : seen)
    keys.push_back({event.type, int(event.code)});
  return keys;
}

// Sets column `column` of a keycode's row (the others empty) as another
// client would.
void setRow(Display* dpy, int keycode, KeySym keysym, int column = 0) {
  std::vector<KeySym> row(column + 1, NoSymbol);
  row.back() = keysym;
  XChangeKeyboardMapping(dpy, keycode, column + 1, row.data(), 1);
  XSync(dpy, False);
}

// Gives keycode i of `keycodes` keysym + i for the life of the scope.
class RowChange {
public:
  RowChange(Display* dpy, std::vector<int> keycodes, KeySym keysym, int column = 0)
    : dpy_(dpy), keycodes_(std::move(keycodes)), column_(column) {
    for (size_t i = 0; i < keycodes_.size(); ++i)
      setRow(dpy_, keycodes_[i], keysym + i, column_);
  }
  ~RowChange() {
    for (int keycode : keycodes_)
      setRow(dpy_, keycode, NoSymbol, column_);
  }

private:
  Display* dpy_;
  std::vector<int> keycodes_;
  int column_;
};

class KeyboardTest : public ::testing::TestWithParam<bool> {
protected:
  static void SetUpTestSuite() { server_ = std::make_unique<testsupport::XvfbServer>(); }
  static void TearDownTestSuite() { server_.reset(); }

  void SetUp() override {
    // Another suite may have asked another server.
    svr::XTestAvailability::forget();
    observer_ = std::make_unique<Observer>(server_->displayName());
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
  Observer& observer() { return *observer_; }
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
  bool waitUntil(const std::function<bool()>& done) {
    return observer_->waitFor(done, [&] { pump(); }, injector());
  }
  // Waits for `expected` key events and compares them with all seen.
  void expectKeys(const std::vector<Key>& expected) {
    EXPECT_TRUE(observer_->waitForEvents(expected.size(), injector()));
    EXPECT_EQ(keysOf(observer_->seen()), expected);
  }
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
  plat_test::FakeClock clock_;
  plat::TimerManager timers_{true, &clock_};
  std::unique_ptr<Observer> observer_;
  svrtest::Connection injector_;
  std::unique_ptr<svr::SKeyboardX11> keyboard_;
};

std::unique_ptr<testsupport::XvfbServer> KeyboardTest::server_;

TEST_P(KeyboardTest, CapsLockSwitchedOnAtTheDesktopIsTurnedOffBeforeALetter) {
  // Pins: without XKB the Caps Lock state was never read again, so a Caps
  // Lock switched on at the desktop turned every viewer letter upper case.
  const int capsLock = keycodeOf(XK_Caps_Lock), a = keycodeOf(XK_a);
  XTestFakeKeyEvent(observer().dpy(), capsLock, True, CurrentTime);
  XTestFakeKeyEvent(observer().dpy(), capsLock, False, CurrentTime);
  XSync(observer().dpy(), False);
  ASSERT_TRUE(observer().waitForEvents(2, injector()));
  ASSERT_NE(observer().lockedMods() & LockMask, 0u);
  settle();
  type(XK_a);
  expectKeys({{P, capsLock}, {R, capsLock}, {P, capsLock}, {R, capsLock}, {P, a}, {R, a}});
  ASSERT_EQ(observer().seen().size(), 6u);
  EXPECT_EQ(observer().seen()[4].keysym, KeySym(XK_a));
  EXPECT_EQ(observer().lockedMods() & LockMask, 0u);
}

TEST_P(KeyboardTest, AutoRepeatIsOffWhileTypingAndBackAfterAQuietPeriodOrAStop) {
  const int64_t quiet = svr::SKeyboardX11::autoRepeatRestoreMs;
  ASSERT_TRUE(serverAutoRepeat());
  press(XK_Shift_L);
  press(XK_D);
  EXPECT_FALSE(serverAutoRepeat());
  EXPECT_FALSE(keyboard().isAutoRepeatTimerRunning());
  // Stop releases the held keys and restores auto-repeat at once.
  const int shift = keycodeOf(XK_Shift_L), d = keycodeOf(XK_d);
  ASSERT_TRUE(observer().waitForEvents(2, injector()));
  keyboard().stop();
  expectKeys({{P, shift}, {P, d}, {R, d}, {R, shift}});
  EXPECT_TRUE(serverAutoRepeat());
  EXPECT_FALSE(keyboard().isAutoRepeatTimerRunning());

  type(XK_e);
  runTimersAfterMs(quiet - 1);
  EXPECT_FALSE(serverAutoRepeat());
  runTimersAfterMs(1);
  EXPECT_TRUE(serverAutoRepeat());
  EXPECT_FALSE(keyboard().isAutoRepeatDisabled());

  // Pins: the restore timer started by an earlier release went on running
  // under a key pressed later, and switched the server's auto-repeat back on
  // while that key was held, so the server repeated it.
  type(XK_f);
  runTimersAfterMs(1000);
  press(XK_g);
  runTimersAfterMs(quiet * 2);
  EXPECT_FALSE(serverAutoRepeat());
  release(XK_g);
  runTimersAfterMs(quiet);
  EXPECT_TRUE(serverAutoRepeat());

  // The user's own "off" is left alone.
  XAutoRepeatOff(observer().dpy());
  XSync(observer().dpy(), False);
  type(XK_i);
  EXPECT_FALSE(keyboard().isAutoRepeatDisabled());
  runTimersAfterMs(quiet);
  keyboard().stop();
  EXPECT_FALSE(serverAutoRepeat());
}

TEST_P(KeyboardTest, UnknownKeysymsGoToTheHighestFreeKeycodesAndAreRemovedOnStop) {
  testsupport::LogRecorder log("SKeyboardX11", 110);
  const uint32_t euro = 0x20ac, cyrillicA = 0x6c1, cyrillicBe = 0x6c2;
  const std::vector<int> free = observer().freeKeycodes();
  ASSERT_GE(free.size(), 4u);
  // A keycode with a keysym only in a later column is not free.
  RowChange laterColumn(observer().dpy(), {free[2]}, XK_F21, 1);

  // Typed again before the map change has come back, and after: the same
  // keycode, also when it is the highest of the map.
  type(euro);
  type(euro);
  type(cyrillicA);
  expectKeys({{P, free[0]}, {R, free[0]}, {P, free[0]}, {R, free[0]}, {P, free[1]}, {R, free[1]}});
  EXPECT_EQ(observer().seen()[0].keysym, KeySym(euro));
  EXPECT_EQ(observer().seen()[4].keysym, KeySym(cyrillicA));
  EXPECT_THAT(log.texts("SKeyboardX11"),
              testing::Contains("Added unknown keysym 0x20ac to keycode " + std::to_string(free[0])));
  settle();
  type(euro);
  ASSERT_TRUE(observer().waitForEvents(8, injector()));
  EXPECT_EQ(keysOf(observer().seen())[6], (Key{P, free[0]}));

  // A row another client changed is not taken back.
  type(cyrillicBe);
  ASSERT_TRUE(observer().waitForEvents(10, injector()));
  ASSERT_EQ(observer().seen()[8].code, unsigned(free[3]));
  RowChange theirs(observer().dpy(), {free[3]}, XK_F20);
  EXPECT_EQ(keyboard().addedKeys().size(), 3u);
  keyboard().stop();
  EXPECT_EQ(observer().row(free[3])[0], KeySym(XK_F20));
  EXPECT_EQ(observer().row(free[0])[0], KeySym(NoSymbol));
  EXPECT_EQ(observer().row(free[1])[0], KeySym(NoSymbol));
  EXPECT_TRUE(keyboard().addedKeys().empty());
}

TEST_P(KeyboardTest, AFullMapGivesTheOldestAddedKeycodeUpUnlessItIsHeld) {
  // Pins: once the spare keycodes were used up, every further unknown
  // keysym was dropped for the rest of the session.
  testsupport::LogRecorder log("SKeyboardX11", 110);
  const std::vector<int> free = observer().freeKeycodes();
  RowChange full(observer().dpy(), std::vector<int>(free.begin() + 1, free.end()), 0x1000f00);
  settle();
  type(0x6c3); // Cyrillic_tse
  // An application looks a key up when it reads the event, so the keycode
  // is reused only after the first keysym has been typed.
  ASSERT_TRUE(observer().waitForEvents(2, injector()));
  press(0x6c4); // Cyrillic_de, held
  press(0x6c6); // Cyrillic_ef: no keycode left
  release(0x6c6);
  release(0x6c4);
  expectKeys({{P, free[0]}, {R, free[0]}, {P, free[0]}, {R, free[0]}});
  EXPECT_EQ(observer().seen()[0].keysym, KeySym(0x6c3));
  EXPECT_EQ(observer().seen()[2].keysym, KeySym(0x6c4));
  EXPECT_THAT(log.texts("SKeyboardX11"),
              testing::Contains("Keyboard mapping full - ignoring unknown keysym 0x6c6"));
  keyboard().stop();
}

void setLayout(const std::string& display, const std::vector<std::string>& layoutArguments) {
  std::vector<std::string> argv{"setxkbmap", "-display", display};
  argv.insert(argv.end(), layoutArguments.begin(), layoutArguments.end());
  const testsupport::ChildResult result = testsupport::ChildProcess::run(argv);
  ASSERT_TRUE(result.started) << "setxkbmap could not be run";
  ASSERT_TRUE(result.exited && result.exitStatus == 0) << result.err;
}

TEST_P(KeyboardTest, FollowsLayoutChangesAndTypesWhatTheViewerSent) {
  // The key of the last press from `from` on that gave `keysym` (0: none).
  auto lastPressOf = [&](KeySym keysym, size_t from = 0) {
    const auto& seen = observer().seen();
    auto it = std::find_if(seen.rbegin(), seen.rend() - long(from), [&](const SeenEvent& event) {
      return event.type == KeyPress && event.keysym == keysym;
    });
    return it == seen.rend() - long(from) ? 0u : it->code;
  };
  // Each keysym checked on its own, so that a failure names it.
  auto typeAndCheck = [&](const std::vector<KeySym>& keysyms) {
    for (KeySym keysym : keysyms) {
      SCOPED_TRACE(XKeysymToString(keysym));
      const size_t before = observer().seen().size();
      type(uint32_t(keysym));
      EXPECT_TRUE(waitUntil([&] { return lastPressOf(keysym, before) != 0; }));
      EXPECT_EQ(keyboard().interpreter().pressedKeyCount(), 0u);
    }
  };
  EXPECT_EQ(keyboard().hasXkb(), GetParam());
  // Num Lock sits on Mod2 in the default map.
  EXPECT_EQ(keyboard().numLockMask(), unsigned(Mod2Mask));
  EXPECT_TRUE(keyboard().hasLevel3Shift());
  typeAndCheck({XK_z, XK_A, XK_at});
  const unsigned int usZ = lastPressOf(XK_z);

  ASSERT_NO_FATAL_FAILURE(setLayout(server_->displayName(), {"de"}));
  settle();
  // AltGr+q gives the at sign, Shift+7 the slash.
  typeAndCheck({XK_z, XK_y, XK_ssharp, XK_Adiaeresis, XK_at, XK_slash});
  EXPECT_NE(lastPressOf(XK_z), usZ) << "z moved to another key";
  EXPECT_EQ(lastPressOf(XK_z), unsigned(keycodeOf(XK_z)));
  EXPECT_EQ(lastPressOf(XK_y), unsigned(keycodeOf(XK_y)));
  if (GetParam()) {
    // Through XKB the at sign is the AltGr level of the q key.
    EXPECT_EQ(lastPressOf(XK_at), unsigned(keycodeOf(XK_q)));
  }

  // US in the first group, German in the second. Only XKB knows groups: a
  // connection without it sees the first group's keysyms whatever the
  // locked group.
  if (GetParam()) {
    auto lockGroup = [&](unsigned int group) {
      XkbLockGroup(observer().dpy(), XkbUseCoreKbd, group);
      XSync(observer().dpy(), False);
      EXPECT_TRUE(waitUntil([&] { return keyboard().xkbGroup() == group; }));
    };
    ASSERT_NO_FATAL_FAILURE(setLayout(server_->displayName(), {"-layout", "us,de"}));
    settle();
    lockGroup(1);
    typeAndCheck({XK_y, XK_ssharp});
    const unsigned int germanY = lastPressOf(XK_y);
    lockGroup(0);
    typeAndCheck({XK_y, XK_at});
    EXPECT_NE(lastPressOf(XK_y), germanY);
  }
  ASSERT_NO_FATAL_FAILURE(setLayout(server_->displayName(), {"us"}));
}

INSTANTIATE_TEST_SUITE_P(XkbAndCore, KeyboardTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? std::string("Xkb") : std::string("Core");
                         });

} // namespace
