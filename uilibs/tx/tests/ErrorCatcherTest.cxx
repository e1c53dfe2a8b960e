// gtest first: Xlib's macros (None, Bool) break its headers.
#include <gtest/gtest.h>

#include "uilibs/tx/ErrorCatcher.h"
#include "uilibs/tx/XErrorException.h"

#include "XTestHelpers.h"

#include "base/plat/LogSetting.h"
#include "testsupport/LogRecorder.h"

#include <optional>
#include <string>

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

TEST_F(ErrorCatcherTest, BadWindowIsCaughtNotFatal) {
  tx::ErrorCatcher catcher(100);
  badWindowRequest();
  try {
    catcher.check("XMapWindow failed");
    FAIL() << "no exception";
  } catch (const tx::XErrorException& e) {
    EXPECT_EQ(e.code(), BadWindow);
    EXPECT_STREQ(e.type(), "XError");
    EXPECT_STREQ(e.str(), "XMapWindow failed: BadWindow (invalid Window parameter) (3)");
  }
  // The connection is still usable.
  EXPECT_NE(XInternAtom(dpy, "PRIMARY", True), Atom(None));
}

TEST_F(ErrorCatcherTest, CheckBuildsTheTextForEachError) {
  struct Case {
    const char* name;
    std::function<void()> request;
    const char* message;
    int code;
    const char* expected;
  };
  const Case cases[] = {
    {"bad window", [&] { XMapWindow(dpy, unusedId()); }, "map", BadWindow,
     "map: BadWindow (invalid Window parameter) (3)"},
    {"bad pixmap", [&] { XFreePixmap(dpy, unusedId()); }, "free", BadPixmap,
     "free: BadPixmap (invalid Pixmap parameter) (4)"},
    {"bad atom", [&] { XDeleteProperty(dpy, tx::rootWindow(), Atom(0x7ffffff0)); }, "delete",
     BadAtom, "delete: BadAtom (invalid Atom parameter) (5)"},
    {"bad value", [&] { XCreateWindow(dpy, tx::rootWindow(), 0, 0, 0, 0, 0, CopyFromParent,
                                      InputOutput, CopyFromParent, 0, nullptr); },
     "create", BadValue, "create: BadValue (integer parameter out of range for operation) (2)"},
    // Without a message the text starts with the error itself, no ": ".
    {"empty message", [&] { XMapWindow(dpy, unusedId()); }, "", BadWindow,
     "BadWindow (invalid Window parameter) (3)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    tx::ErrorCatcher catcher(100);
    c.request();
    try {
      catcher.check(c.message);
      ADD_FAILURE() << "no exception";
    } catch (const tx::XErrorException& e) {
      EXPECT_EQ(e.code(), c.code);
      EXPECT_EQ(catcher.errorCode(), unsigned(c.code));
      EXPECT_STREQ(e.str(), c.expected);
    }
  }
}

TEST_F(ErrorCatcherTest, CheckWithoutErrorDoesNotThrow) {
  tx::ErrorCatcher catcher(100);
  XInternAtom(dpy, "KWO_TEST_ATOM", False);
  XMapWindow(dpy, tx::rootWindow());
  EXPECT_NO_THROW(catcher.check("nothing wrong"));
  EXPECT_EQ(catcher.errorCode(), 0u);
}

TEST_F(ErrorCatcherTest, LaterErrorOverwritesEarlier) {
  tx::ErrorCatcher catcher(100);
  XMapWindow(dpy, unusedId());
  XFreePixmap(dpy, unusedId());
  try {
    catcher.check("two");
    FAIL() << "no exception";
  } catch (const tx::XErrorException& e) {
    EXPECT_EQ(e.code(), BadPixmap);
  }
}

TEST_F(ErrorCatcherTest, NestedCatcherRecordsOnlyItsOwnErrors) {
  tx::ErrorCatcher outer(100);
  {
    tx::ErrorCatcher inner(100);
    badWindowRequest();
    EXPECT_THROW(inner.check("inner"), tx::XErrorException);
  }
  EXPECT_EQ(outer.errorCode(), 0u);
  EXPECT_NO_THROW(outer.check("outer"));
}

TEST_F(ErrorCatcherTest, OpeningWaitsSoOlderErrorsStayWithTheOuterScope) {
  tx::ErrorCatcher outer(100);
  badWindowRequest();
  {
    tx::ErrorCatcher inner(100);
    EXPECT_NO_THROW(inner.check("inner"));
  }
  EXPECT_EQ(outer.errorCode(), unsigned(BadWindow));
  EXPECT_THROW(outer.check("outer"), tx::XErrorException);
}

TEST_F(ErrorCatcherTest, ClosingWaitsSoItsErrorsDoNotLeakOut) {
  tx::ErrorCatcher outer(100);
  {
    tx::ErrorCatcher inner(100);
    badWindowRequest();
    // Left without check(): the destructor must still collect the error.
  }
  EXPECT_NO_THROW(outer.check("outer"));
}

TEST_F(ErrorCatcherTest, CheckEndsTheWaitOnClosing) {
  tx::ErrorCatcher outer(100);
  {
    tx::ErrorCatcher inner(100);
    inner.check("inner");
    // After check() the scope no longer waits: this error is still in
    // transit when the inner catcher goes and lands in the outer one.
    badWindowRequest();
  }
  EXPECT_THROW(outer.check("outer"), tx::XErrorException);
}

TEST_F(ErrorCatcherTest, OuterCatcherWorksAgainAfterInnerOneCloses) {
  tx::ErrorCatcher outer(100);
  {
    tx::ErrorCatcher inner(100);
  }
  badWindowRequest();
  EXPECT_THROW(outer.check("outer"), tx::XErrorException);
}

TEST_F(ErrorCatcherTest, LogsEachErrorAtTheCatchersLevel) {
  testsupport::LogRecorder recorder("ErrorCatcher", 110);
  for (int level : {100, 30}) {
    SCOPED_TRACE(level);
    recorder.clear();
    tx::ErrorCatcher catcher(level);
    badWindowRequest();
    EXPECT_THROW(catcher.check(), tx::XErrorException);
    std::vector<testsupport::LogRecorder::Line> lines = recorder.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, level);
    EXPECT_EQ(lines[0].source, "ErrorCatcher");
    EXPECT_EQ(lines[0].text, "X Error: BadWindow (invalid Window parameter) (3)");
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
