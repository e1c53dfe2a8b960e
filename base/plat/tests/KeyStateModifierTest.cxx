#include "base/plat/KeyStateModifier.h"

#include "base/plat/Exception.h"
#include "testsupport/LogRecorder.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

using Change = std::pair<int, bool>;
using Changes = std::vector<Change>;

class RecordingCallback : public plat::KeyStateModifier::Callback {
public:
  void setKeyState(int keycode, bool down) override {
    if (keycode == failingKeycode)
      throw plat::Exception("key refused");
    changes.emplace_back(keycode, down);
  }

  Changes changes;
  int failingKeycode = -1;
};

TEST(KeyStateModifier, RefusedChangeIsNotUndoneAndAFailedUndoStillUndoesTheRest) {
  // An exception escaping the undo would have ended the process (destructors
  // are noexcept) and left the other keys held.
  testsupport::LogRecorder recorder("KeyStateModifier", 110);
  RecordingCallback callback;
  {
    plat::KeyStateModifier scope(callback);
    scope.set(50, true);
    scope.set(62, true);
    callback.failingKeycode = 77;
    EXPECT_THROW(scope.set(77, true), plat::Exception);
    scope.set(92, true);
    callback.failingKeycode = 62;
  }
  EXPECT_EQ((Changes{{50, true}, {62, true}, {92, true}, {92, false}, {50, false}}),
            callback.changes);
  EXPECT_EQ(std::vector<std::string>{"Undoing key state of keycode 62: key refused"},
            recorder.texts("KeyStateModifier"));
}

} // namespace
