#include "base/rfb/KeyEventInterpreter.h"

#include "base/plat/ConfigParameter.h"
#include "base/plat/Configuration.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace {

using rfb::KeyEventInterpreter;
using Keymap = std::map<int, std::vector<uint32_t>>;

// Keysyms named as the tests use them.
constexpr uint32_t space = 0x20, one = 0x31, A = 0x41, a = 0x61, E = 0x45, e = 0x65;
constexpr uint32_t asciicircum = 0x5e, eacute = 0xe9, EuroSign = 0x20ac;
constexpr uint32_t Tab = 0xff09, Return = 0xff0d, Multi_key = 0xff20;
constexpr uint32_t Mode_switch = 0xff7e, Num_Lock = 0xff7f;
constexpr uint32_t KP_Enter = 0xff8d, KP_End = 0xff9c, KP_1 = 0xffb1, KP_2 = 0xffb2;
constexpr uint32_t F1 = 0xffbe, Shift_L = 0xffe1, Shift_R = 0xffe2, Control_L = 0xffe3;
constexpr uint32_t Caps_Lock = 0xffe5, Alt_L = 0xffe9, Super_L = 0xffeb;
constexpr uint32_t ISO_Level3_Shift = 0xfe03, ISO_Left_Tab = 0xfe20;
constexpr uint32_t dead_grave = 0xfe50, dead_acute = 0xfe51, dead_circumflex = 0xfe52;
constexpr uint32_t dead_diaeresis = 0xfe57, Cyrillic_zhe = 0x6d6;

// A US-like keyboard: keycode -> keysyms by level.
Keymap usLayout() {
  return {
    {10, {one, 0x21}},          {15, {0x36, asciicircum}}, {23, {Tab, ISO_Left_Tab}},
    {26, {e, E, EuroSign}},     {36, {Return}},            {37, {Control_L}},
    {38, {a, A}},               {48, {0x27, 0x22}},        {50, {Shift_L}},
    {62, {Shift_R}},            {64, {Alt_L}},             {65, {space}},
    {66, {Caps_Lock}},          {67, {F1}},                {77, {Num_Lock}},
    {86, {0xffab}},             {87, {KP_End, KP_1}},      {88, {0xff99, KP_2}},
    {92, {ISO_Level3_Shift}},   {133, {Super_L}},
  };
}

struct KeyPress {
  int keycode;
  bool down;
  bool operator==(const KeyPress&) const = default;
};

std::ostream& operator<<(std::ostream& out, const KeyPress& press) {
  return out << press.keycode << (press.down ? "+" : "-");
}

KeyPress D(int keycode) { return {keycode, true}; }
KeyPress U(int keycode) { return {keycode, false}; }

// The keyboard back end of the tests: answers from its keymap, tracks the
// lock states the way a desktop does (a press of the lock key toggles it) and
// records every key press.
class FakeLayout : public KeyEventInterpreter::Callback {
public:
  explicit FakeLayout(Keymap keys) : Callback(8, 255), keys_(std::move(keys)) {}

  uint32_t keycodeToKeysym(int keycode, int level) override {
    auto it = keys_.find(keycode);
    if (it == keys_.end() || level < 0)
      return 0;
    const std::vector<uint32_t>& levels = it->second;
    // As with XKB, a one-level key asked for level 1 answers its only keysym.
    if (levels.size() == 1 && level == 1)
      return levels[0];
    return level < int(levels.size()) ? levels[level] : 0;
  }

  void fakeKeyEvent(int keycode, bool down) override {
    presses.push_back({keycode, down});
    if (down && keycodeToKeysym(keycode, 0) == Num_Lock)
      numLockOn = !numLockOn;
    if (down && keycodeToKeysym(keycode, 0) == Caps_Lock)
      capsLockOn = !capsLockOn;
  }

  bool isNumLockOn() override { return numLockOn; }
  bool isCapsLockOn() override { return capsLockOn; }

  int addKeysym(uint32_t keysym) override {
    if (!canAddKeysyms)
      return Callback::addKeysym(keysym);
    for (int keycode = maxKeycode(); keycode >= minKeycode(); --keycode) {
      if (keys_.count(keycode) == 0) {
        keys_[keycode] = {keysym};
        return keycode;
      }
    }
    return -1;
  }

  Keymap& keys() { return keys_; }

  std::vector<KeyPress> presses;
  bool numLockOn = false;
  bool capsLockOn = false;
  bool canAddKeysyms = false;

private:
  Keymap keys_;
};

struct Step {
  uint32_t keysym;
  bool down;
  bool handled = true;
  // When set, done instead of a key event.
  std::function<void(FakeLayout&, KeyEventInterpreter&)> action = nullptr;
};

Step press(uint32_t keysym, bool handled = true) { return {keysym, true, handled}; }
Step release(uint32_t keysym) { return {keysym, false, true}; }

// The layout changes: a moves from keycode 38 to 40.
const Step moveA{0, false, true, [](FakeLayout& layout, KeyEventInterpreter&) {
                   layout.keys().erase(38);
                   layout.keys()[40] = {a, A};
                 }};
const Step refresh{0, false, true, [](FakeLayout&, KeyEventInterpreter& interpreter) {
                     interpreter.refreshKeycodes();
                   }};
const Step releaseAll{0, false, true, [](FakeLayout&, KeyEventInterpreter& interpreter) {
                        interpreter.releasePressedKeys();
                      }};

struct Case {
  const char* name;
  std::vector<Step> steps;
  std::vector<KeyPress> presses;
  std::function<void(FakeLayout&)> setUp = nullptr;
};

void withDeadKeys(FakeLayout& layout) {
  layout.keys()[34] = {dead_acute, dead_grave};
  layout.keys()[35] = {dead_circumflex, dead_diaeresis};
}

void runCases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeLayout layout(usLayout());
    if (c.setUp)
      c.setUp(layout);
    KeyEventInterpreter interpreter(layout);
    interpreter.refreshKeycodes();
    for (size_t i = 0; i < c.steps.size(); ++i) {
      const Step& step = c.steps[i];
      SCOPED_TRACE(testing::Message() << "step " << i << std::hex << " keysym 0x" << step.keysym
                                      << (step.down ? " down" : " up"));
      if (step.action)
        step.action(layout, interpreter);
      else
        EXPECT_EQ(step.handled, interpreter.keyEvent(step.keysym, step.down));
    }
    EXPECT_EQ(c.presses, layout.presses) << "key presses";
    EXPECT_EQ(0u, interpreter.pressedKeyCount()) << "every case releases what it pressed";
    for (int keycode = 8; keycode <= 255; keycode++)
      EXPECT_FALSE(interpreter.isKeycodeHeld(keycode)) << keycode;
  }
}

TEST(KeyEventInterpreter, KeySequences) {
  runCases({
    // Letters and shift levels.
    {"uppercase A presses Shift around the key",
     {press(A), release(A)}, {D(50), D(38), U(50), U(38)}},
    {"A under held Shift leaves Shift alone",
     {press(Shift_L), press(A), release(A), release(Shift_L)}, {D(50), D(38), U(38), U(50)}},
    {"a under both Shifts releases both and restores them in reverse",
     {press(Shift_L), press(Shift_R), press(a), release(a), release(Shift_R), release(Shift_L)},
     {D(50), D(62), U(50), U(62), D(38), D(62), D(50), U(38), U(62), U(50)}},
    {"Level-3 keysym presses Level 3 Shift around the key",
     {press(EuroSign), release(EuroSign)}, {D(92), D(26), U(92), U(26)}},
    {"Level-3 keysym under a held Mode_switch",
     {press(Mode_switch), press(EuroSign), release(EuroSign), release(Mode_switch)},
     {D(92), D(26), U(26), U(92)}},
    {"Level-3 keysym under held Shift releases Shift, presses Level 3",
     {press(Shift_L), press(EuroSign), release(EuroSign), release(Shift_L)},
     {D(50), U(50), D(92), D(26), U(92), D(50), U(26), U(50)}},
    {"Ctrl+Shift+a releases Shift",
     {press(Control_L), press(Shift_L), press(a), release(a), release(Shift_L),
      release(Control_L)},
     {D(37), D(50), U(50), D(38), D(50), U(38), U(50), U(37)}},
    {"Shift+Tab keeps Shift", {press(Shift_L), press(Tab), release(Tab), release(Shift_L)},
     {D(50), D(23), U(23), U(50)}},
    {"F1 under Level 3 Shift keeps Level 3 (F1 has no level 2)",
     {press(ISO_Level3_Shift), press(F1), release(F1), release(ISO_Level3_Shift)},
     {D(92), D(67), U(67), U(92)}},
    {"Return under Level 3 Shift: Level 3 released around it",
     {press(ISO_Level3_Shift), press(Return), release(Return), release(ISO_Level3_Shift)},
     {D(92), U(92), D(36), D(92), U(36), U(92)}},
    // Lock keys.
    {"Caps_Lock from a viewer injects nothing", {press(Caps_Lock), release(Caps_Lock)}, {}},
    {"Caps Lock on is switched off before a key", {press(a), release(a), press(a), release(a)},
     {D(66), U(66), D(38), U(38), D(38), U(38)},
     [](FakeLayout& layout) { layout.capsLockOn = true; }},
    {"KP_1 with Num Lock off switches it on for good",
     {press(KP_1), release(KP_1), press(KP_2), release(KP_2)},
     {D(77), U(77), D(87), U(87), D(88), U(88)}},
    {"KP_End with Num Lock on switches it off", {press(KP_End), release(KP_End)},
     {D(77), U(77), D(87), U(87)}, [](FakeLayout& layout) { layout.numLockOn = true; }},
    {"KP_1 with Num Lock off under Shift releases Shift for the toggle only",
     {press(Shift_L), press(KP_1), release(KP_1), release(Shift_L)},
     {D(50), U(50), D(77), U(77), D(50), D(87), U(87), U(50)}},
    {"KP_1 on a keyboard without Num Lock", {press(KP_1), release(KP_1)}, {D(87), U(87)},
     [](FakeLayout& layout) { layout.keys().erase(77); }},
    // Repeats and releases.
    {"repeated press of a held letter is pressed again",
     {press(a), press(a), release(a)}, {D(38), D(38), U(38)}},
    {"repeated press of a held modifier is ignored",
     {press(Shift_L), press(Shift_L), release(Shift_L)}, {D(50), U(50)}},
    {"release of a keysym never pressed", {release(a), release(Shift_L)}, {}},
    // Used to press the first keycode without a keysym and never release it.
    {"NoSymbol is ignored", {press(0, false), {0, false, false}}, {}},
    // Equivalent keysyms.
    {"KP_Enter goes out as Return", {press(KP_Enter), release(KP_Enter)}, {D(36), U(36)}},
    {"Shift_R without a Shift_R key uses Shift_L",
     {press(Shift_R), press(a), release(a), release(Shift_R)},
     {D(50), U(50), D(38), D(50), U(38), U(50)},
     [](FakeLayout& layout) { layout.keys().erase(62); }},
    {"an equivalent that is missing too is dropped",
     {press(KP_Enter, false), release(KP_Enter)}, {},
     [](FakeLayout& layout) { layout.keys().erase(36); }},
    // Dead keys and compose.
    {"eacute through dead_acute and e", {press(eacute), release(eacute)},
     {D(34), U(34), D(26), U(26)}, withDeadKeys},
    {"eacute on a keyboard that has it is pressed directly", {press(eacute), release(eacute)},
     {D(40), U(40)},
     [](FakeLayout& layout) {
       withDeadKeys(layout);
       layout.keys()[40] = {eacute};
     }},
    {"eacute without dead_acute is dropped", {press(eacute, false), release(eacute)}, {}},
    {"Multi_key missing, then ^ types dead_circumflex",
     {press(Multi_key), release(Multi_key), press(asciicircum), release(asciicircum)},
     {D(35), U(35)}, withDeadKeys},
    {"compose survives modifiers",
     {press(Multi_key), release(Multi_key), press(Shift_L), press(asciicircum),
      release(asciicircum), release(Shift_L)},
     {D(50), U(50), D(35), D(50), U(35), U(50)}, withDeadKeys},
    {"compose ends with the next key",
     {press(Multi_key), release(Multi_key), press(a), release(a), press(asciicircum),
      release(asciicircum)},
     {D(38), U(38), D(50), D(15), U(50), U(15)}, withDeadKeys},
    // The key used to be lost (reported handled, nothing typed) when the
    // keyboard had no dead key for it either.
    {"compose without the dead key types the key itself",
     {press(Multi_key), release(Multi_key), press(asciicircum), release(asciicircum)},
     {D(50), D(15), U(50), U(15)}},
    {"Multi_key on a keyboard that has it is an ordinary key",
     {press(Multi_key), release(Multi_key), press(asciicircum), release(asciicircum)},
     {D(135), U(135), D(50), D(15), U(50), U(15)},
     [](FakeLayout& layout) {
       withDeadKeys(layout);
       layout.keys()[135] = {Multi_key};
     }},
    // Keysyms no key gives go to addKeysym().
    {"added keycode", {press(Cyrillic_zhe), release(Cyrillic_zhe)}, {D(255), U(255)},
     [](FakeLayout& layout) { layout.canAddKeysyms = true; }},
    {"dead-key sequence comes before adding", {press(eacute), release(eacute)},
     {D(34), U(34), D(26), U(26)},
     [](FakeLayout& layout) {
       withDeadKeys(layout);
       layout.canAddKeysyms = true;
     }},
    // Layout changes and releasing everything.
    {"release after a layout change goes to the keycode pressed",
     {press(a), moveA, refresh, release(a)}, {D(38), U(38)}},
    // A repeat used to leave the first keycode held down on the desktop.
    {"repeat after a layout change releases the first keycode",
     {press(a), moveA, press(a), release(a)}, {D(38), U(38), D(40), U(40)}},
    {"releasePressedKeys releases all, smallest keysym first, Shift pressed back",
     {press(Shift_L), press(E), press(a), releaseAll},
     {D(50), D(26), U(50), D(38), D(50), U(26), U(38), U(50)}},
  });
}

TEST(KeyEventInterpreter, AlterShiftWithModsOffKeepsTheViewersShift) {
  plat::ConfigParameter* param = plat::Configuration::global().findParam("AlterShiftWithMods");
  ASSERT_NE(nullptr, param);
  EXPECT_EQ("1", param->getValueStr());
  ASSERT_TRUE(param->setParam("0", 10));
  runCases({
    {"Ctrl+Shift+a", {press(Control_L), press(Shift_L), press(a), release(a), release(Shift_L),
                      release(Control_L)},
     {D(37), D(50), D(38), U(38), U(50), U(37)}},
    {"without Ctrl, Alt or Super Shift is still altered",
     {press(Shift_L), press(a), release(a), release(Shift_L)},
     {D(50), U(50), D(38), D(50), U(38), U(50)}},
  });
  param->unset(10, false);
}

// The first and last keysym of each class and their neighbours.
TEST(KeyEventInterpreter, KeysymClassesEndWhereTheyShould) {
  const struct {
    uint32_t first, last;
    bool (*member)(uint32_t);
  } classes[] = {
    {0xffe1, 0xffef, KeyEventInterpreter::isModifierKeysym},
    {0xff7e, 0xff7f, KeyEventInterpreter::isModifierKeysym},
    {0xfe01, 0xfe0f, KeyEventInterpreter::isModifierKeysym},
    {0xff80, 0xffbd, KeyEventInterpreter::isKeypadKeysym},
    {0xffbe, 0xffc9, KeyEventInterpreter::isFunctionKeysym},
  };
  for (const auto& c : classes) {
    SCOPED_TRACE(testing::Message() << std::hex << c.first << "-" << c.last);
    EXPECT_FALSE(c.member(c.first - 1));
    EXPECT_TRUE(c.member(c.first) && c.member(c.last));
    EXPECT_FALSE(c.member(c.last + 1));
  }
}

TEST(KeyEventInterpreter, KeycodeLookup) {
  {
    FakeLayout layout(usLayout());
    KeyEventInterpreter interpreter(layout);
    EXPECT_EQ(-1, interpreter.numLockKeycode()) << "unknown before the first refresh";
    // Caps Lock twice: the lowest keycode; Num Lock at level 1 only.
    layout.keys()[20] = {Caps_Lock};
    layout.keys().erase(77);
    layout.keys()[99] = {0xff9e, Num_Lock};
    interpreter.refreshKeycodes();
    EXPECT_EQ(99, interpreter.numLockKeycode());
    EXPECT_EQ(20, interpreter.capsLockKeycode());
  }
  {
    // 0x31 at level 0 on 10 and at level 2 on 30; 0x21 at level 1 on 10 and level 0 on 31.
    Keymap keys = usLayout();
    keys[30] = {0x71, 0x51, one};
    keys[31] = {0x21};
    FakeLayout layout(keys);
    struct Case {
      uint32_t keysym;
      int level; // -1: none given
      int keycode;
      int levelFound;
    };
    const Case cases[] = {
      {one, -1, 10, -1},   {one, 2, 30, 2},         {one, 1, 10, 0}, {0x21, 3, 31, 0},
      {EuroSign, 0, 26, 2}, {Cyrillic_zhe, 0, -1, 0},
      {0, 0, -1, 0}, // NoSymbol names no key, not an empty one
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << std::hex << "keysym 0x" << c.keysym << std::dec
                                      << " level " << c.level);
      int level = c.level;
      EXPECT_EQ(c.keycode, layout.keysymToKeycode(c.keysym, c.level < 0 ? nullptr : &level));
      if (c.level >= 0) {
        EXPECT_EQ(c.levelFound, level);
      }
    }
  }
}

} // namespace
