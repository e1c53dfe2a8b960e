#include "base/plat/KeyStateModifier.h"

#include "base/plat/Exception.h"
#include "testsupport/LogRecorder.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

using Change = std::pair<int, bool>;

class RecordingCallback : public plat::KeyStateModifier::Callback {
public:
  void setKeyState(int keycode, bool down) override {
    if (keycode == failingKeycode)
      throw plat::Exception("key refused");
    changes.emplace_back(keycode, down);
  }

  std::vector<Change> changes;
  int failingKeycode = -1;
};

TEST(KeyStateModifier, UndoesChangesInReverseOrder) {
  struct Case {
    const char* name;
    std::vector<Change> changes;
  };
  const Case cases[] = {
    {"none", {}},
    {"one press", {{50, true}}},
    {"release then press", {{50, false}, {92, true}}},
    {"same key twice", {{62, false}, {62, false}}},
    {"four mixed", {{50, true}, {62, false}, {92, true}, {108, false}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingCallback callback;
    {
      plat::KeyStateModifier scope(callback);
      for (const Change& change : c.changes)
        scope.set(change.first, change.second);
      EXPECT_EQ(c.changes, callback.changes) << "changes are performed at once";
      EXPECT_EQ(c.changes.size(), scope.changeCount());
    }
    std::vector<Change> expected = c.changes;
    for (auto it = c.changes.rbegin(); it != c.changes.rend(); ++it)
      expected.emplace_back(it->first, !it->second);
    EXPECT_EQ(expected, callback.changes);
  }
}

TEST(KeyStateModifier, NestedScopesUnwindInnerFirst) {
  RecordingCallback callback;
  {
    plat::KeyStateModifier outer(callback);
    outer.set(50, false);
    {
      plat::KeyStateModifier inner(callback);
      inner.set(77, true);
      inner.set(77, false);
    }
    outer.set(92, true);
  }
  const std::vector<Change> expected = {{50, false}, {77, true}, {77, false}, {77, true},
                                        {77, false}, {92, true}, {92, false}, {50, true}};
  EXPECT_EQ(expected, callback.changes);
}

TEST(KeyStateModifier, RefusedChangeIsNotUndone) {
  RecordingCallback callback;
  {
    plat::KeyStateModifier scope(callback);
    scope.set(50, true);
    callback.failingKeycode = 62;
    EXPECT_THROW(scope.set(62, true), plat::Exception);
    callback.failingKeycode = -1;
    EXPECT_EQ(1u, scope.changeCount());
  }
  const std::vector<Change> expected = {{50, true}, {50, false}};
  EXPECT_EQ(expected, callback.changes);
}

TEST(KeyStateModifier, FailedUndoStillUndoesTheRest) {
  // An exception escaping the undo would have ended the process (destructors
  // are noexcept) and left the other keys held.
  testsupport::LogRecorder recorder("KeyStateModifier", 110);
  RecordingCallback callback;
  {
    plat::KeyStateModifier scope(callback);
    scope.set(50, true);
    scope.set(62, true);
    scope.set(92, true);
    callback.failingKeycode = 62;
  }
  const std::vector<Change> expected = {{50, true}, {62, true}, {92, true}, {92, false}, {50, false}};
  EXPECT_EQ(expected, callback.changes);
  const std::vector<std::string> logged = {"Undoing key state of keycode 62: key refused"};
  EXPECT_EQ(logged, recorder.texts("KeyStateModifier"));
}

} // namespace
