// The key interpreter with a dead-key file named by the "DeadKeyFile"
// parameter: what a good file adds and replaces, and what a broken or partly
// broken file leaves in force, seen as the keys the interpreter presses.

#include "base/rfb/KeyEventInterpreter.h"

#include "DeadKeyTestSupport.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

using rfb::KeyEventInterpreter;
using rfbtest::DeadKeyFileSetting;
using rfbtest::TempFile;

constexpr uint32_t apostrophe = 0x27, asciicircum = 0x5e, m = 0x6d, mAcute = 0x1001e3f;
constexpr uint32_t Multi_key = 0xff20, Shift_L = 0xffe1;
constexpr uint32_t dead_acute = 0xfe51, dead_circumflex = 0xfe52;

// A keyboard with dead_acute and dead_circumflex but no m acute, recording
// the keycodes pressed (positive) and released (negative).
class RecordingKeyboard : public KeyEventInterpreter::Callback {
public:
  RecordingKeyboard() : Callback(8, 255) {}

  uint32_t keycodeToKeysym(int keycode, int level) override {
    auto it = keys_.find(keycode);
    if (it == keys_.end() || level < 0 || level >= int(it->second.size()))
      return 0;
    return it->second[level];
  }
  void fakeKeyEvent(int keycode, bool down) override { presses.push_back(down ? keycode : -keycode); }

  std::vector<int> presses;

private:
  std::map<int, std::vector<uint32_t>> keys_{
    {15, {0x36, asciicircum}}, {34, {dead_acute}}, {35, {dead_circumflex}},
    {48, {apostrophe, 0x22}},  {50, {Shift_L}},    {58, {m, 0x4d}},
  };
};

const char* const goodDeadKeys =
  "<deadKeys><k><s>0x27</s><d>0xfe51</d></k></deadKeys>";
const char* const goodComps =
  "<comps><c><a>0x1001e3f</a><b>0xfe51</b><c>0x6d</c></c></comps>";

// The keys pressed for each viewer sequence, and whether every event of it
// was handled.
struct Expectation {
  std::vector<int> mAcute;       // m acute typed on its own
  bool mAcuteHandled;
  std::vector<int> composeCaret; // Multi_key, then ^
  std::vector<int> composeQuote; // Multi_key, then '
};

void check(const char* name, const std::string& content, const Expectation& expected) {
  SCOPED_TRACE(name);
  TempFile file(content);
  DeadKeyFileSetting setting(file.path());
  RecordingKeyboard keyboard;
  KeyEventInterpreter interpreter(keyboard);
  interpreter.refreshKeycodes();

  EXPECT_EQ(interpreter.keyEvent(mAcute, true), expected.mAcuteHandled);
  EXPECT_TRUE(interpreter.keyEvent(mAcute, false));
  EXPECT_EQ(keyboard.presses, expected.mAcute) << "m acute";

  const auto compose = [&](uint32_t keysym, const std::vector<int>& presses, const char* what) {
    keyboard.presses.clear();
    EXPECT_TRUE(interpreter.keyEvent(Multi_key, true));
    EXPECT_TRUE(interpreter.keyEvent(Multi_key, false));
    EXPECT_TRUE(interpreter.keyEvent(keysym, true));
    EXPECT_TRUE(interpreter.keyEvent(keysym, false));
    EXPECT_EQ(keyboard.presses, presses) << what;
    EXPECT_EQ(interpreter.pressedKeyCount(), 0u) << what;
  };
  compose(asciicircum, expected.composeCaret, "compose ^");
  compose(apostrophe, expected.composeQuote, "compose '");
}

const std::vector<int> deadAcuteThenM{34, -34, 58, -58};
const std::vector<int> deadCircumflex{35, -35};
const std::vector<int> deadAcute{34, -34};
const std::vector<int> caretItself{50, 15, -50, -15};
const std::vector<int> quoteItself{48, -48};

TEST(KeyEventInterpreterDeadKeyFile, AGoodFileAddsCompositionsAndReplacesDeadKeys) {
  check("good file",
        std::string("<info>") + goodDeadKeys + goodComps + "</info>",
        // The file's only dead key is for the apostrophe: ^ is typed as itself.
        {deadAcuteThenM, true, caretItself, deadAcute});
}

TEST(KeyEventInterpreterDeadKeyFile, ABrokenFileLeavesTheBuiltInTables) {
  check("not XML", "<info><deadKeys></info>", {{}, false, deadCircumflex, deadAcute});
  check("bad number in the dead keys",
        std::string("<info><deadKeys><k><s>0x27</s><d>dead_acute</d></k></deadKeys>") + goodComps +
          "</info>",
        {{}, false, deadCircumflex, deadAcute});
}

TEST(KeyEventInterpreterDeadKeyFile, APartlyBrokenFileKeepsWhatWasReadBeforeTheError) {
  // The dead keys were read completely before the compositions failed; the
  // good composition before the bad one is not used.
  check("bad composition",
        std::string("<info>") + goodDeadKeys +
          "<comps><c><a>0x1001e3f</a><b>0xfe51</b><c>0x6d</c></c>"
          "<c><a>0x1001e3d</a><b>0xfe51</b></c></comps></info>",
        {{}, false, caretItself, deadAcute});
  check("no compositions", std::string("<info>") + goodDeadKeys + "</info>",
        {{}, false, caretItself, deadAcute});
}

} // namespace
