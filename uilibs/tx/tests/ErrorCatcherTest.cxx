// gtest first: Xlib's macros (None, Bool) break its headers.
#include <gtest/gtest.h>

#include "uilibs/tx/ErrorCatcher.h"
#include "uilibs/tx/XErrorException.h"

#include "XTestHelpers.h"

#include "testsupport/LogRecorder.h"

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
  const struct {
    const char* message;
    int requests; // failing ones; a second one fails with BadPixmap
    int code;
    const char* expected;
  } cases[] = {
    {"map", 1, BadWindow, "map: BadWindow (invalid Window parameter) (3)"},
    // A later error overwrites an earlier.
    {"two", 2, BadPixmap, "two: BadPixmap (invalid Pixmap parameter) (4)"},
  };
  testsupport::LogRecorder recorder("ErrorCatcher", 110);
  // A level other than the usual 100, so that the log check sees it passed on.
  const int level = 30;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    recorder.clear();
    tx::ErrorCatcher catcher(level);
    XMapWindow(dpy, unusedId());
    if (c.requests > 1)
      XFreePixmap(dpy, unusedId());
    try {
      catcher.check(c.message);
      ADD_FAILURE() << "no exception";
    } catch (const tx::XErrorException& e) {
      EXPECT_EQ(e.code(), c.code);
      EXPECT_STREQ(e.str(), c.expected);
    }
    EXPECT_EQ(catcher.errorCode(), unsigned(c.code));
    // Each error is logged at the catcher's level.
    std::vector<testsupport::LogRecorder::Line> lines = recorder.lines();
    ASSERT_EQ(lines.size(), size_t(c.requests));
    for (const auto& line : lines)
      EXPECT_TRUE(line.level == level && line.text.rfind("X Error: ", 0) == 0) << line.text;
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

} // namespace
