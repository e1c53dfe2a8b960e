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

TEST_F(WindowPropertyTest, TextRoundTrips) {
  const std::string text = "h\xc3\xa9llo, w\xc3\xb6rld";
  tx::WindowProperty::replace(window, property, tx::atomUtf8String(), 8, text.data(),
                              int(text.size()));
  tx::WindowProperty read = tx::WindowProperty::read(window, property, false, tx::atomUtf8String());
  ASSERT_TRUE(read.ok());
  EXPECT_TRUE(read.typeMatched());
  EXPECT_EQ(read.type(), tx::atomUtf8String());
  EXPECT_EQ(read.format(), 8);
  EXPECT_EQ(read.items(), text.size());
  EXPECT_EQ(read.bytesAfter(), 0u);
  EXPECT_EQ(read.text(), text);

  // Any type: also matched.
  tx::WindowProperty any = tx::WindowProperty::read(window, property, false);
  EXPECT_TRUE(any.typeMatched());
  EXPECT_EQ(any.text(), text);
}

TEST_F(WindowPropertyTest, OtherTypeIsReportedButNotRead) {
  tx::WindowProperty::replace(window, property, XA_STRING, 8, "abc", 3);
  tx::WindowProperty read = tx::WindowProperty::read(window, property, false, XA_INTEGER);
  ASSERT_TRUE(read.ok());
  EXPECT_FALSE(read.typeMatched());
  EXPECT_EQ(read.type(), Atom(XA_STRING));
  EXPECT_EQ(read.items(), 0u);
  EXPECT_EQ(read.text(), "");
  EXPECT_FALSE(tx::WindowProperty::readValue32(window, property, XA_INTEGER));
}

TEST_F(WindowPropertyTest, Values32RoundTripAsLongs) {
  // Xlib passes 32-bit items as longs; all 32 bits must survive.
  const long values[] = {1, 0xffffffffL, 42, 0x80000000L};
  tx::WindowProperty::replace(window, property, XA_CARDINAL, 32, values, 4);
  tx::WindowProperty read = tx::WindowProperty::read(window, property, false, XA_CARDINAL);
  ASSERT_TRUE(read.ok());
  ASSERT_EQ(read.format(), 32);
  ASSERT_EQ(read.items(), 4u);
  for (unsigned long i = 0; i < 4; i++)
    EXPECT_EQ(read.value32(i), (unsigned long)values[i]) << i;
  EXPECT_EQ(read.text(), "");

  std::optional<unsigned long> first = tx::WindowProperty::readValue32(window, property,
                                                                       XA_CARDINAL);
  ASSERT_TRUE(first);
  EXPECT_EQ(*first, 1u);
}

TEST_F(WindowPropertyTest, Value32NeedsFormat32AndAnItem) {
  struct Case {
    const char* name;
    int format;
    int items;
  };
  const Case cases[] = {{"format 8", 8, 4}, {"format 16", 16, 2}, {"no items", 32, 0}};
  const long data[] = {7, 8, 9, 10};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    tx::WindowProperty::replace(window, property, XA_CARDINAL, c.format, data, c.items);
    EXPECT_FALSE(tx::WindowProperty::readValue32(window, property, XA_CARDINAL));
  }
  XDeleteProperty(dpy, window, property);
  EXPECT_FALSE(tx::WindowProperty::readValue32(window, property, XA_CARDINAL));
}

TEST_F(WindowPropertyTest, MissingPropertyReadsAsNoType) {
  tx::WindowProperty read = tx::WindowProperty::read(window, property, false, XA_STRING);
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(read.type(), Atom(None));
  EXPECT_FALSE(read.typeMatched());
  EXPECT_EQ(read.items(), 0u);
}

TEST_F(WindowPropertyTest, DeleteAfterReading) {
  tx::WindowProperty::replace(window, property, XA_STRING, 8, "gone", 4);
  EXPECT_EQ(tx::WindowProperty::read(window, property, true, XA_STRING).text(), "gone");
  EXPECT_EQ(tx::WindowProperty::read(window, property, false).type(), Atom(None));
}

TEST_F(WindowPropertyTest, ReadsAtMost65536Units) {
  std::vector<long> values(70000);
  for (size_t i = 0; i < values.size(); i++)
    values[i] = long(i * 3);
  tx::WindowProperty::replace(window, property, XA_CARDINAL, 32, values.data(),
                              int(values.size()));
  tx::WindowProperty read = tx::WindowProperty::read(window, property, true, XA_CARDINAL);
  ASSERT_TRUE(read.ok());
  ASSERT_EQ(read.items(), 65536u);
  EXPECT_EQ(read.bytesAfter(), (70000u - 65536u) * 4u);
  EXPECT_EQ(read.value32(65535), 65535u * 3u);
  // Not read whole, so not deleted.
  EXPECT_EQ(tx::WindowProperty::read(window, property, false).type(), Atom(XA_CARDINAL));
}

TEST_F(WindowPropertyTest, ReadFromAVanishedWindowFails) {
  Window gone = XCreateSimpleWindow(dpy, tx::rootWindow(), 0, 0, 1, 1, 0, 0, 0);
  XDestroyWindow(dpy, gone);
  tx::ErrorCatcher catcher(100);
  tx::WindowProperty read = tx::WindowProperty::read(gone, property, false);
  EXPECT_FALSE(read.ok());
  EXPECT_EQ(read.items(), 0u);
  EXPECT_EQ(catcher.errorCode(), unsigned(BadWindow));
}

} // namespace
