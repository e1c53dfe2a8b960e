// gtest first: Xlib's macros (None, Bool) break its headers.
#include <gtest/gtest.h>

#include "uilibs/tx/ErrorCatcher.h"
#include "uilibs/tx/WindowProperty.h"

#include "XTestHelpers.h"

#include <X11/Xatom.h>

namespace {

TEST(WindowPropertyTest, ReadsWhatWasWrittenWhenTheTypeMatches) {
  Display* dpy = txtest::toolkitDisplay();
  Window window = XCreateSimpleWindow(dpy, tx::rootWindow(), 0, 0, 1, 1, 0, 0, 0);
  Atom property = XInternAtom(dpy, "KWO_TEST_PROPERTY", False);
  const std::string text = "h\xc3\xa9llo";
  tx::WindowProperty::replace(window, property, tx::atomUtf8String(), 8, text.data(),
                              int(text.size()));
  for (Atom type : {tx::atomUtf8String(), Atom(0)}) {
    tx::WindowProperty read = tx::WindowProperty::read(window, property, false, type);
    EXPECT_TRUE(read.ok() && read.typeMatched() && read.format() == 8);
    EXPECT_EQ(read.type(), tx::atomUtf8String());
    EXPECT_EQ(read.text(), text);
  }
  // Another type is reported, but nothing is read.
  tx::WindowProperty other = tx::WindowProperty::read(window, property, true, XA_INTEGER);
  EXPECT_TRUE(other.ok() && !other.typeMatched() && other.items() == 0);
  EXPECT_EQ(other.type(), tx::atomUtf8String());

  // Xlib passes 32-bit items as sign-extended longs: all 32 bits are kept.
  const long values[] = {1, 0xffffffffL, 42, 0x80000000L};
  tx::WindowProperty::replace(window, property, XA_CARDINAL, 32, values, 4);
  tx::WindowProperty read = tx::WindowProperty::read(window, property, false, XA_CARDINAL);
  ASSERT_EQ(read.items(), 4u);
  for (unsigned long i = 0; i < 4; i++)
    EXPECT_EQ(read.value32(i), (unsigned long)values[i] & 0xffffffffUL) << i;

  // From a window that is gone: a failed read with nothing in it.
  XDestroyWindow(dpy, window);
  tx::ErrorCatcher catcher(100);
  tx::WindowProperty failed = tx::WindowProperty::read(window, property, false);
  EXPECT_TRUE(!failed.ok() && failed.type() == None && failed.items() == 0);
  EXPECT_EQ(catcher.errorCode(), unsigned(BadWindow));
}

} // namespace
