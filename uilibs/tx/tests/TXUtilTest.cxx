// gtest first: Xlib's macros (None, Bool) break its headers.
#include <gtest/gtest.h>

#include "uilibs/tx/CutBufferEventHandler.h"
#include "uilibs/tx/ErrorCatcher.h"
#include "uilibs/tx/TXEventDispatcher.h"
#include "uilibs/tx/TXUtil.h"

#include "XTestHelpers.h"

#include "base/plat/Configuration.h"
#include "base/plat/Exception.h"

#include <X11/Xatom.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

class TXUtilTest : public ::testing::Test {
protected:
  void SetUp() override {
    dpy = txtest::toolkitDisplay();
    ASSERT_NE(dpy, nullptr);
  }

  Display* dpy = nullptr;
};

TEST_F(TXUtilTest, OpensTheServerOnceWithTheScreensState) {
  const std::string name = testsupport::XvfbServer::shared().displayName();
  EXPECT_STREQ(DisplayString(dpy), name.c_str());
  // A second call, whatever its name, changes nothing.
  tx::openDisplay(":65431");
  EXPECT_EQ(tx::display(), dpy);
  EXPECT_STREQ(std::getenv("DISPLAY"), name.c_str());

  int screen = DefaultScreen(dpy);
  EXPECT_EQ(tx::rootWindow(), RootWindow(dpy, screen));
  EXPECT_EQ(tx::colormap(), DefaultColormap(dpy, screen));
  XGCValues values;
  ASSERT_TRUE(XGetGCValues(dpy, tx::defaultGC(), GCForeground | GCBackground | GCFont, &values));
  EXPECT_EQ(values.foreground, tx::palettePixel(tx::paletteBlack));
  EXPECT_EQ(values.background, tx::palettePixel(tx::paletteGreyBB));
  EXPECT_EQ(values.font, tx::defaultFont());

  const uint16_t greys[tx::paletteSize] = {0x0000, 0x5555, 0x8888, 0xbbbb, 0xeeee, 0xffff};
  for (int i = 0; i < tx::paletteSize; i++) {
    SCOPED_TRACE(i);
    XColor colour;
    colour.pixel = tx::palettePixel(tx::PaletteEntry(i));
    XQueryColor(dpy, tx::colormap(), &colour);
    // A 24-bit TrueColor server keeps the top 8 bits of each channel.
    EXPECT_EQ(colour.red >> 8, greys[i] >> 8);
    EXPECT_EQ(colour.green >> 8, greys[i] >> 8);
    EXPECT_EQ(colour.blue >> 8, greys[i] >> 8);
  }
}

TEST_F(TXUtilTest, WatchesTheCutBufferFromTheStart) {
  EXPECT_TRUE(tx::TXEventDispatcher::rootEventMask() & PropertyChangeMask);
  txtest::Connection other = txtest::connectShared();
  ASSERT_TRUE(other);
  XStoreBytes(other.get(), "cut", 3);
  XSync(other.get(), False);
  XEvent event;
  ASSERT_TRUE(txtest::waitForEvent(
    dpy,
    [](const XEvent& e) { return e.type == PropertyNotify && e.xproperty.atom == XA_CUT_BUFFER0; },
    &event));
  tx::TXEventDispatcher::handleEvent(event);
  EXPECT_EQ(tx::CutBufferEventHandler::cutBufferTime(), event.xproperty.time);
  // A server time taken afterwards is no earlier.
  EXPECT_GE(tx::getServerTime(), event.xproperty.time);
}

TEST_F(TXUtilTest, PointerMappingKeepsAtMostEightButtonsAndReportsChanges) {
  txtest::Connection other = txtest::connectShared();
  ASSERT_TRUE(other);
  unsigned char original[256];
  int buttons = XGetPointerMapping(other.get(), original, sizeof(original));
  ASSERT_GE(buttons, 3);
  EXPECT_FALSE(tx::refreshPointerMapping());
  ASSERT_EQ(tx::pointerMappingCount(), std::min(buttons, 8));
  for (int i = 0; i < tx::pointerMappingCount(); i++)
    EXPECT_EQ(tx::pointerMapping()[i], original[i]) << i;

  // Swap the first and third buttons, as a left-handed user would.
  std::vector<unsigned char> swapped(original, original + buttons);
  std::swap(swapped[0], swapped[2]);
  ASSERT_EQ(XSetPointerMapping(other.get(), swapped.data(), buttons), MappingSuccess);
  XSync(other.get(), False);
  EXPECT_TRUE(tx::refreshPointerMapping());
  EXPECT_EQ(tx::pointerMapping()[0], swapped[0]);
  EXPECT_EQ(tx::pointerMapping()[2], swapped[2]);
  EXPECT_FALSE(tx::refreshPointerMapping());

  ASSERT_EQ(XSetPointerMapping(other.get(), original, buttons), MappingSuccess);
  XSync(other.get(), False);
  EXPECT_TRUE(tx::refreshPointerMapping());
  EXPECT_EQ(tx::pointerMapping()[0], original[0]);
}

TEST_F(TXUtilTest, AtomNamesAreCachedAndSurviveBadAtoms) {
  const char* primary = tx::atomName(XA_PRIMARY);
  EXPECT_STREQ(primary, "PRIMARY");
  EXPECT_EQ(tx::atomName(XA_PRIMARY), primary);
  EXPECT_STREQ(tx::atomName(tx::atomClipboard()), "CLIPBOARD");
  EXPECT_STREQ(tx::atomName(None), "None");
  // Atoms named by other clients may be bogus; that must not end the
  // process through Xlib's default error handler.
  EXPECT_STREQ(tx::atomName(0x7ffffff1), "(bad atom 0x7ffffff1)");
  EXPECT_NE(XInternAtom(dpy, "PRIMARY", True), Atom(None));
}

TEST_F(TXUtilTest, ClientMessagesGoToTheRootAsWindowManagerRequests) {
  txtest::Connection wm = txtest::connectShared();
  ASSERT_TRUE(wm);
  XSelectInput(wm.get(), DefaultRootWindow(wm.get()), SubstructureNotifyMask);
  XSync(wm.get(), False);

  Window about = XCreateSimpleWindow(dpy, tx::rootWindow(), 0, 0, 10, 10, 0, 0, 0);
  tx::sendClientMessage(about, tx::atomNetWmState(), 1, long(tx::atomNetWmStateAbove()), 0, 2,
                        -5);
  XFlush(dpy);
  XEvent event;
  ASSERT_TRUE(txtest::waitForEvent(
    wm.get(), [](const XEvent& e) { return e.type == ClientMessage; }, &event));
  EXPECT_EQ(event.xclient.window, about);
  EXPECT_EQ(event.xclient.message_type, tx::atomNetWmState());
  EXPECT_EQ(event.xclient.format, 32);
  const long expected[5] = {1, long(tx::atomNetWmStateAbove()), 0, 2, -5};
  for (int i = 0; i < 5; i++)
    EXPECT_EQ(event.xclient.data.l[i], expected[i]) << i;
  XDestroyWindow(dpy, about);
}

// In a fresh process (threadsafe death test style), where the toolkit's
// connection is not open yet. The child says on standard error what went
// wrong.
TEST(OpenDisplayDeathTest, NamesRetriesAndOptions) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string name = testsupport::XvfbServer::shared().displayName();
  auto fail = [](const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::exit(4);
  };
  EXPECT_EXIT(
    {
      unsetenv("XAUTHLOCALHOSTNAME");
      try {
        tx::openDisplay(":65432");
        fail("opened :65432");
      } catch (const plat::Exception& e) {
        if (std::string(e.str()) != "unable to open display \":65432\"")
          fail(e.str());
      }
      const char* retried = std::getenv("XAUTHLOCALHOSTNAME");
      if (!retried || std::string(retried) != "localhost")
        fail("no retry with localhost");
      // The given name replaced DISPLAY; an empty one keeps it.
      if (std::string(std::getenv("DISPLAY")) != ":65432")
        fail("DISPLAY not replaced");
      setenv("DISPLAY", name.c_str(), 1);
      plat::Configuration::global().setParam("xsync", "1", 10);
      plat::Configuration::global().setParam("owncmap", "1", 10);
      tx::openDisplay("");
      Display* dpy = tx::display();
      if (!dpy || std::string(DisplayString(dpy)) != name)
        fail("not open on DISPLAY");
      if (tx::colormap() == DefaultColormap(dpy, DefaultScreen(dpy)))
        fail("no private colormap");
      XColor white;
      white.pixel = tx::palettePixel(tx::paletteWhite);
      XQueryColor(dpy, tx::colormap(), &white);
      if (white.red != 0xffff)
        fail("no white in the private colormap");
      // Synchronous: the error is in before the call returns.
      tx::ErrorCatcher catcher(100);
      XMapWindow(dpy, XAllocID(dpy));
      if (catcher.errorCode() != BadWindow)
        fail("xsync did not report the error at once");
      std::exit(0);
    },
    ::testing::ExitedWithCode(0), "");
}

} // namespace
