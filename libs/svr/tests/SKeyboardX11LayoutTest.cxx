// Keyboard injection on keyboard layouts other than US, on a private Xvfb
// whose layout is set with setxkbmap: a change to German while the injector
// runs (letters swapped with US, AltGr levels, dead keys and no key of its
// own for many accented letters), and a two-group layout whose second group
// is locked. An application with the input focus reads every
// key the way a real one does: through a local input method (which also
// composes dead-key sequences) and Xutf8LookupString in the current group,
// so what it collects is the text a user would see typed.

#include "libs/svr/tests/InputTestSupport.h"

#include "libs/svr/SKeyboardX11.h"
#include "libs/svr/XTestAvailability.h"

#include "base/plat/TimerManager.h"
#include "testsupport/ChildProcess.h"
#include "testsupport/XvfbServer.h"

#include <X11/keysym.h>

#include <algorithm>
#include <clocale>
#include <memory>
#include <string>
#include <vector>

namespace {

// What the application saw of one key press, after its input method.
struct TypedKey {
  unsigned int keycode; // 0 for text the input method composed
  KeySym keysym;
  std::string text;
};

// An application window with the input focus and a local input method (no
// input-method server: the built-in compose tables of the UTF-8 locale).
class TextObserver {
public:
  explicit TextObserver(const std::string& name) : savedLocale_(currentLocale()) {
    if (!std::setlocale(LC_CTYPE, "C.UTF-8") || !XSupportsLocale())
      throw std::runtime_error("the C.UTF-8 locale is not usable by Xlib");
    XSetLocaleModifiers("@im=none");
    dpy_ = svrtest::connect(name);
    XSetWindowAttributes attributes;
    attributes.event_mask = KeyPressMask | KeyReleaseMask | StructureNotifyMask | FocusChangeMask;
    window_ = XCreateWindow(dpy(), DefaultRootWindow(dpy()), 0, 0, 200, 100, 0, CopyFromParent,
                            InputOutput, CopyFromParent, CWEventMask, &attributes);
    XMapRaised(dpy(), window_);
    if (!waitFor([this] { return mapped_; }))
      throw std::runtime_error("the observer window was never mapped");
    focus();
    im_ = XOpenIM(dpy(), nullptr, nullptr, nullptr);
    if (!im_)
      throw std::runtime_error("no local input method");
    ic_ = XCreateIC(im_, XNInputStyle, XIMPreeditNothing | XIMStatusNothing, XNClientWindow,
                    window_, XNFocusWindow, window_, nullptr);
    if (!ic_)
      throw std::runtime_error("no input context");
    XSetICFocus(ic_);
    // As toolkits do: once Xlib has read the XKB map, the server tells it of
    // changes (keysyms added to spare keycodes) only through XKB events.
    XkbQueryExtension(dpy(), nullptr, &xkbEventBase_, nullptr, nullptr, nullptr);
    XkbSelectEvents(dpy(), XkbUseCoreKbd, XkbNewKeyboardNotifyMask | XkbMapNotifyMask,
                    XkbNewKeyboardNotifyMask | XkbMapNotifyMask);
    XSync(dpy(), False);
  }

  ~TextObserver() {
    XDestroyIC(ic_);
    XCloseIM(im_);
    XDestroyWindow(dpy(), window_);
    dpy_.reset();
    std::setlocale(LC_CTYPE, savedLocale_.c_str());
  }

  Display* dpy() const { return dpy_.get(); }

  void focus() {
    XSetInputFocus(dpy(), window_, RevertToParent, CurrentTime);
    XSync(dpy(), False);
  }

  // Everything typed so far, as the application's text.
  std::string text() const {
    std::string all;
    for (const TypedKey& key : typed_)
      all += key.text;
    return all;
  }
  const std::vector<TypedKey>& typed() const { return typed_; }

  // Pumps the injector's events and collects until `done` holds or 30 s pass.
  bool waitFor(const std::function<bool()>& done, Display* injector = nullptr) {
    return txtest::runUntil(
      done,
      [&] {
        if (injector)
          svrtest::dispatchEvents(injector);
        collect();
      },
      {{dpy(), injector}, 20});
  }

  // Waits until the text typed so far is at least as long as `expected`.
  bool waitForText(const std::string& expected, Display* injector) {
    return waitFor([&] { return text().size() >= expected.size(); }, injector);
  }

  KeyCode keycodeOf(KeySym keysym) { return XKeysymToKeycode(dpy(), keysym); }

private:
  static std::string currentLocale() {
    const char* locale = std::setlocale(LC_CTYPE, nullptr);
    return locale ? locale : "C";
  }

  void collect() {
    while (XPending(dpy())) {
      XEvent event;
      XNextEvent(dpy(), &event);
      // The input method swallows dead keys and hands back the composed
      // character as a key press of its own.
      if (XFilterEvent(&event, None))
        continue;
      if (event.type == MapNotify && event.xmap.window == window_)
        mapped_ = true;
      if (event.type == MappingNotify)
        XRefreshKeyboardMapping(&event.xmapping);
      if (event.type == xkbEventBase_ &&
          reinterpret_cast<XkbEvent&>(event).any.xkb_type == XkbMapNotify)
        XkbRefreshKeyboardMapping(&reinterpret_cast<XkbEvent&>(event).map);
      if (event.type == KeyPress)
        recordPress(event.xkey);
    }
  }

  void recordPress(XKeyEvent& event) {
    char text[64];
    KeySym keysym = NoSymbol;
    Status status = 0;
    const int length = Xutf8LookupString(ic_, &event, text, sizeof(text), &keysym, &status);
    // Modifier keys type nothing.
    if ((status != XLookupChars && status != XLookupBoth) || length <= 0)
      return;
    typed_.push_back(
      {event.keycode, status == XLookupBoth ? keysym : NoSymbol, std::string(text, length)});
  }

  std::string savedLocale_;
  svrtest::Connection dpy_;
  Window window_ = 0;
  bool mapped_ = false;
  XIM im_ = nullptr;
  XIC ic_ = nullptr;
  int xkbEventBase_ = -1;
  std::vector<TypedKey> typed_;
};

// One character a viewer types: the keysym it sends and the text the
// application must get.
struct Typed {
  const char* name;
  uint32_t keysym;
  const char* text;
};

void setLayout(const std::string& display, const std::vector<std::string>& layoutArguments) {
  std::vector<std::string> argv{"setxkbmap", "-display", display};
  argv.insert(argv.end(), layoutArguments.begin(), layoutArguments.end());
  const testsupport::ChildResult result = testsupport::ChildProcess::run(argv);
  ASSERT_TRUE(result.started) << "setxkbmap could not be run";
  ASSERT_TRUE(result.exited && result.exitStatus == 0) << result.err;
}

class LayoutTest : public ::testing::TestWithParam<bool> {
protected:
  static void SetUpTestSuite() { server_ = std::make_unique<testsupport::XvfbServer>(); }
  static void TearDownTestSuite() { server_.reset(); }

  void SetUp() override {
    svr::XTestAvailability::forget();
    // The server resets its keyboard when its last client goes; this one
    // stays for the whole test.
    holder_ = svrtest::connect(display());
    ASSERT_NO_FATAL_FAILURE(setLayout(display(), layout()));
    observer_ = std::make_unique<TextObserver>(display());
    injector_ = svrtest::connect(display(), GetParam());
    keyboard_ = std::make_unique<svr::SKeyboardX11>(injector_.get(), GetParam());
  }

  void TearDown() override {
    keyboard_.reset();
    injector_.reset();
    observer_.reset();
    holder_.reset();
  }

  virtual std::vector<std::string> layout() const { return {"us"}; }

  static const std::string& display() { return server_->displayName(); }
  Display* injector() const { return injector_.get(); }
  TextObserver& observer() { return *observer_; }
  svr::SKeyboardX11& keyboard() { return *keyboard_; }

  void type(uint32_t keysym) {
    keyboard_->keyEvent(keysym, true);
    keyboard_->keyEvent(keysym, false);
  }
  // Lets every event the server has sent the injector arrive and be handled.
  void settle() {
    XSync(injector(), False);
    svrtest::dispatchEvents(injector());
  }

  // Types the characters one by one, each checked on its own so that a
  // failure names the character.
  void typeAndCheck(const std::vector<Typed>& characters) {
    std::string expected = observer().text();
    for (const Typed& c : characters) {
      SCOPED_TRACE(c.name);
      type(c.keysym);
      expected += c.text;
      EXPECT_TRUE(observer().waitForText(expected, injector()));
      EXPECT_EQ(observer().text(), expected);
      expected = observer().text();
      EXPECT_EQ(keyboard().interpreter().pressedKeyCount(), 0u);
    }
  }

  static std::unique_ptr<testsupport::XvfbServer> server_;
  // The auto-repeat timer's manager; nothing here waits for it.
  svrtest::ManualClock clock_;
  plat::TimerManager timers_{true, &clock_};
  svrtest::Connection holder_;
  std::unique_ptr<TextObserver> observer_;
  svrtest::Connection injector_;
  std::unique_ptr<svr::SKeyboardX11> keyboard_;
};

std::unique_ptr<testsupport::XvfbServer> LayoutTest::server_;

TEST_P(LayoutTest, FollowsAChangeToGermanAndTypesWhatTheViewerSent) {
  typeAndCheck({{"z on US", XK_z, "z"}, {"at on US", XK_at, "@"}});
  const unsigned int usZ = observer().typed()[0].keycode;

  ASSERT_NO_FATAL_FAILURE(setLayout(display(), {"de"}));
  settle();
  typeAndCheck({
    {"z", XK_z, "z"},
    {"y", XK_y, "y"},
    {"Z", XK_Z, "Z"},
    {"sharp s", XK_ssharp, "ß"},
    {"A diaeresis", XK_Adiaeresis, "Ä"},
    {"o diaeresis", XK_odiaeresis, "ö"},
    {"at (AltGr+q)", XK_at, "@"},
    {"euro (AltGr+e)", XK_EuroSign, "€"},
    {"left brace (AltGr+7)", XK_braceleft, "{"},
    {"backslash (AltGr+sharp s)", XK_backslash, "\\"},
    {"bar (AltGr+less)", XK_bar, "|"},
    {"tilde (AltGr+plus)", XK_asciitilde, "~"},
    {"slash (Shift+7)", XK_slash, "/"},
    {"e acute (dead acute, e)", XK_eacute, "é"},
    {"E acute (dead acute, Shift+E)", XK_Eacute, "É"},
    {"e grave (Shift+dead acute, e)", XK_egrave, "è"},
    {"o circumflex (dead circumflex, o)", XK_ocircumflex, "ô"},
    {"circumflex (dead circumflex, space)", XK_asciicircum, "^"},
    {"grave (Shift+dead acute, space)", XK_grave, "`"},
    {"exclam (Shift+1)", XK_exclam, "!"},
  });
  const std::vector<TypedKey>& typed = observer().typed();
  EXPECT_NE(typed[2].keycode, usZ) << "z moved to another key";
  EXPECT_EQ(typed[2].keycode, observer().keycodeOf(XK_z));
  EXPECT_EQ(typed[3].keycode, observer().keycodeOf(XK_y));
  EXPECT_EQ(typed[2].keysym, KeySym(XK_z));
  if (GetParam()) {
    // Through XKB the at sign is the AltGr level of the q key.
    EXPECT_EQ(typed[8].keycode, observer().keycodeOf(XK_q));
  }

  // Shift held by the viewer is honoured around German keys.
  keyboard().keyEvent(XK_Shift_L, true);
  for (uint32_t keysym : {XK_Z, XK_Eacute, XK_at, XK_eacute})
    type(keysym);
  keyboard().keyEvent(XK_Shift_L, false);
  const std::string expected = observer().text() + "ZÉ@é";
  EXPECT_TRUE(observer().waitForText(expected, injector()));
  EXPECT_EQ(observer().text(), expected);
  EXPECT_EQ(keyboard().interpreter().pressedKeyCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(XkbAndCore, LayoutTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? std::string("Xkb") : std::string("Core");
                         });

// US in the first group, German in the second. Only XKB knows groups: a
// connection without it sees the first group's keysyms whatever the locked
// group, so these run with XKB only.
class TwoGroupLayoutTest : public LayoutTest {
protected:
  std::vector<std::string> layout() const override { return {"-layout", "us,de"}; }

  void lockGroup(unsigned int group) {
    XkbLockGroup(observer().dpy(), XkbUseCoreKbd, group);
    XSync(observer().dpy(), False);
    ASSERT_TRUE(observer().waitFor([&] { return keyboard().xkbGroup() == group; }, injector()));
  }
};

TEST_P(TwoGroupLayoutTest, TypesInTheLockedGroup) {
  ASSERT_TRUE(keyboard().hasXkb());
  ASSERT_NO_FATAL_FAILURE(lockGroup(1));
  typeAndCheck({
    {"z in the German group", XK_z, "z"},
    {"y in the German group", XK_y, "y"},
    {"at in the German group", XK_at, "@"},
    {"sharp s in the German group", XK_ssharp, "ß"},
    {"e acute in the German group", XK_eacute, "é"},
  });
  const unsigned int germanZ = observer().typed()[0].keycode;

  ASSERT_NO_FATAL_FAILURE(lockGroup(0));
  typeAndCheck({{"z in the US group", XK_z, "z"}, {"at in the US group", XK_at, "@"}});
  EXPECT_NE(observer().typed()[5].keycode, germanZ);
  XkbLockGroup(observer().dpy(), XkbUseCoreKbd, 0);
}

INSTANTIATE_TEST_SUITE_P(Xkb, TwoGroupLayoutTest, ::testing::Values(true),
                         [](const ::testing::TestParamInfo<bool>&) { return std::string("Xkb"); });

} // namespace
