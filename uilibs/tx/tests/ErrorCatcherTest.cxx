// gtest first: Xlib's macros (None, Bool) break its headers.
#include <gtest/gtest.h>

#include "uilibs/tx/ErrorCatcher.h"
#include "uilibs/tx/XErrorException.h"

#include "XTestHelpers.h"

#include "base/plat/LogSetting.h"
#include "testsupport/LogRecorder.h"

#include <functional>
#include <optional>

namespace {

class ErrorCatcherTest : public ::testing::Test {
protected:
  void SetUp() override { dpy = txtest::toolkitDisplay(); }

  // An id from this client's own range that names nothing yet.
  XID unusedId() { return XAllocID(dpy); }

  // Queues a request that fails with BadWindow, without waiting for it.
  void badWindowRequest() { XMapWindow(dpy, unusedId()); }

  Display* dpy = nullptr;
};

TEST_F(ErrorCatcherTest, CheckThrowsTheLastErrorWithItsText) {
  struct Case {
    const char* name;
    std::vector<std::function<void()>> requests;
    const char* message;
    int code; // 0: no error
    const char* expected;
  };
  const Case cases[] = {
    {"bad window", {[&] { badWindowRequest(); }}, "map", BadWindow,
     "map: BadWindow (invalid Window parameter) (3)"},
    // Without a message the text starts with the error itself, no ": ".
    {"empty message", {[&] { badWindowRequest(); }}, "", BadWindow,
     "BadWindow (invalid Window parameter) (3)"},
    {"a later error overwrites an earlier", {[&] { badWindowRequest(); },
     [&] { XFreePixmap(dpy, unusedId()); }}, "two", BadPixmap,
     "two: BadPixmap (invalid Pixmap parameter) (4)"},
    {"no error", {[&] { XMapWindow(dpy, tx::rootWindow()); }}, "fine", 0, ""},
  };
  testsupport::LogRecorder recorder("ErrorCatcher", 110);
  for (int level : {100, 30}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << c.name << ", level " << level);
      recorder.clear();
      tx::ErrorCatcher catcher(level);
      for (const auto& request : c.requests)
        request();
      try {
        catcher.check(c.message);
        EXPECT_EQ(c.code, 0);
      } catch (const tx::XErrorException& e) {
        EXPECT_EQ(e.code(), c.code);
        EXPECT_STREQ(e.str(), c.expected);
      }
      EXPECT_EQ(catcher.errorCode(), unsigned(c.code));
      // Each error is logged at the catcher's level.
      std::vector<testsupport::LogRecorder::Line> lines = recorder.lines();
      ASSERT_EQ(lines.size(), c.requests.size() * (c.code != 0));
      if (!lines.empty()) {
        EXPECT_EQ(lines.back().level, level);
        EXPECT_EQ(lines.back().text.rfind("X Error: ", 0), 0u);
      }
    }
  }
}

TEST_F(ErrorCatcherTest, NestedCatchersKeepTheirOwnErrors) {
  {
    tx::ErrorCatcher outer(100);
    {
      tx::ErrorCatcher inner(100);
      badWindowRequest();
      EXPECT_THROW(inner.check("inner"), tx::XErrorException);
    }
    EXPECT_NO_THROW(outer.check("outer"));
  }
  {
    // Opening waits: older errors stay with the outer scope.
    tx::ErrorCatcher outer(100);
    badWindowRequest();
    {
      tx::ErrorCatcher inner(100);
      EXPECT_NO_THROW(inner.check("inner"));
    }
    EXPECT_THROW(outer.check("outer"), tx::XErrorException);
  }
  {
    // Closing waits: an inner scope left without check() keeps its errors.
    tx::ErrorCatcher outer(100);
    {
      tx::ErrorCatcher inner(100);
      badWindowRequest();
    }
    EXPECT_NO_THROW(outer.check("outer"));
  }
  {
    // After check() the inner scope no longer waits: an error still in
    // transit when it goes lands in the outer one.
    tx::ErrorCatcher outer(100);
    {
      tx::ErrorCatcher inner(100);
      inner.check("inner");
      badWindowRequest();
    }
    EXPECT_THROW(outer.check("outer"), tx::XErrorException);
  }
}

TEST(ErrorCatcherDeathTest, ClosingOutOfOrderIsAnAssertion) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
    {
      plat::setLogSetting("*:stderr:0");
      std::optional<tx::ErrorCatcher> outer(std::in_place, 100);
      std::optional<tx::ErrorCatcher> inner(std::in_place, 100);
      outer.reset();
    },
    "curr == this");
}

} // namespace
