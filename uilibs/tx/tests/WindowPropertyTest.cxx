// gtest first: Xlib's macros (None, Bool) break its headers.
#include <gtest/gtest.h>

#include "uilibs/tx/ErrorCatcher.h"
#include "uilibs/tx/WindowProperty.h"

#include "XTestHelpers.h"

#include <X11/Xatom.h>

#include <string>
#include <vector>

namespace {

class WindowPropertyTest : public ::testing::Test {
protected:
  void SetUp() override {
    dpy = txtest::toolkitDisplay();
    window = XCreateSimpleWindow(dpy, tx::rootWindow(), 0, 0, 1, 1, 0, 0, 0);
    property = XInternAtom(dpy, "KWO_TEST_PROPERTY", False);
  }
  void TearDown() override { XDestroyWindow(dpy, window); }

  Display* dpy = nullptr;
  Window window = 0;
  Atom property = 0;
};

TEST_F(WindowPropertyTest, TextIsReadWhenTheTypeMatches) {
  const std::string text = "h\xc3\xa9llo, w\xc3\xb6rld";
  tx::WindowProperty::replace(window, property, tx::atomUtf8String(), 8, text.data(),
                              int(text.size()));
  for (Atom type : {tx::atomUtf8String(), Atom(0)}) {
    tx::WindowProperty read = tx::WindowProperty::read(window, property, false, type);
    ASSERT_TRUE(read.ok());
    EXPECT_TRUE(read.typeMatched());
    EXPECT_EQ(read.type(), tx::atomUtf8String());
    EXPECT_EQ(read.format(), 8);
    EXPECT_EQ(read.items(), text.size());
    EXPECT_EQ(read.text(), text);
  }
  // Another type is reported, but nothing is read.
  tx::WindowProperty other = tx::WindowProperty::read(window, property, true, XA_INTEGER);
  ASSERT_TRUE(other.ok());
  EXPECT_FALSE(other.typeMatched());
  EXPECT_EQ(other.type(), tx::atomUtf8String());
  EXPECT_EQ(other.items(), 0u);
  EXPECT_EQ(other.text(), "");
  EXPECT_FALSE(tx::WindowProperty::readValue32(window, property, XA_INTEGER));

  // From a window that is gone: a failed read with nothing in it.
  Window gone = XCreateSimpleWindow(dpy, tx::rootWindow(), 0, 0, 1, 1, 0, 0, 0);
  XDestroyWindow(dpy, gone);
  tx::ErrorCatcher catcher(100);
  tx::WindowProperty failed = tx::WindowProperty::read(gone, property, false);
  EXPECT_FALSE(failed.ok());
  EXPECT_EQ(failed.type(), Atom(None));
  EXPECT_EQ(failed.items(), 0u);
  EXPECT_EQ(catcher.errorCode(), unsigned(BadWindow));
}

TEST_F(WindowPropertyTest, Values32KeepAll32Bits) {
  // Xlib passes 32-bit items as sign-extended longs.
  const long values[] = {1, 0xffffffffL, 42, 0x80000000L};
  tx::WindowProperty::replace(window, property, XA_CARDINAL, 32, values, 4);
  tx::WindowProperty read = tx::WindowProperty::read(window, property, false, XA_CARDINAL);
  ASSERT_EQ(read.items(), 4u);
  for (unsigned long i = 0; i < 4; i++)
    EXPECT_EQ(read.value32(i), (unsigned long)values[i] & 0xffffffffUL) << i;
  EXPECT_EQ(read.text(), "");
  EXPECT_EQ(tx::WindowProperty::readValue32(window, property, XA_CARDINAL), 1u);

  // readValue32 needs format 32 and an item.
  struct Case {
    int format;
    int items;
  };
  for (const Case& c : {Case{8, 4}, Case{16, 2}, Case{32, 0}}) {
    SCOPED_TRACE(c.format);
    tx::WindowProperty::replace(window, property, XA_CARDINAL, c.format, values, c.items);
    EXPECT_FALSE(tx::WindowProperty::readValue32(window, property, XA_CARDINAL));
  }
}

} // namespace
