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

TEST_F(TXUtilTest, OpensTheSharedServerOnce) {
  const std::string name = testsupport::XvfbServer::shared().displayName();
  EXPECT_STREQ(DisplayString(dpy), name.c_str());
  EXPECT_STREQ(std::getenv("DISPLAY"), name.c_str());
  // A second call, whatever its name, changes nothing.
  tx::openDisplay(":65431");
  EXPECT_EQ(tx::display(), dpy);
  EXPECT_STREQ(std::getenv("DISPLAY"), name.c_str());
}

TEST_F(TXUtilTest, HoldsTheDefaultScreensState) {
  int screen = DefaultScreen(dpy);
  EXPECT_EQ(tx::rootWindow(), RootWindow(dpy, screen));
  EXPECT_EQ(tx::colormap(), DefaultColormap(dpy, screen));
  ASSERT_NE(tx::defaultGC(), nullptr);
  EXPECT_NE(tx::defaultFont(), Font(0));

  XGCValues values;
  ASSERT_TRUE(XGetGCValues(dpy, tx::defaultGC(), GCForeground | GCBackground | GCFont, &values));
  EXPECT_EQ(values.foreground, tx::palettePixel(tx::paletteBlack));
  EXPECT_EQ(values.background, tx::palettePixel(tx::paletteGreyBB));
  EXPECT_EQ(values.font, tx::defaultFont());
}

TEST_F(TXUtilTest, WatchesTheCutBufferFromTheStart) {
  XWindowAttributes attributes;
  ASSERT_TRUE(XGetWindowAttributes(dpy, tx::rootWindow(), &attributes));
  EXPECT_TRUE(attributes.your_event_mask & PropertyChangeMask);
  EXPECT_TRUE(tx::TXEventDispatcher::rootEventMask() & PropertyChangeMask);

  // Another client's change of cut buffer 0 reaches the watcher.
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
}

TEST_F(TXUtilTest, PaletteHoldsTheSixGreys) {
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

TEST_F(TXUtilTest, PointerMappingKeepsAtMostEightButtons) {
  unsigned char full[256];
  int buttons = XGetPointerMapping(dpy, full, sizeof(full));
  ASSERT_GT(buttons, 0);
  int expected = buttons < 8 ? buttons : 8;
  ASSERT_EQ(tx::pointerMappingCount(), expected);
  for (int i = 0; i < expected; i++)
    EXPECT_EQ(tx::pointerMapping()[i], full[i]) << i;
}

TEST_F(TXUtilTest, RefreshedPointerMappingReportsChanges) {
  txtest::Connection other = txtest::connectShared();
  ASSERT_TRUE(other);
  unsigned char original[256];
  int buttons = XGetPointerMapping(other.get(), original, sizeof(original));
  ASSERT_GE(buttons, 3);
  EXPECT_FALSE(tx::refreshPointerMapping());

  // Swap the first and third buttons, as a left-handed user would.
  std::vector<unsigned char> swapped(original, original + buttons);
  std::swap(swapped[0], swapped[2]);
  ASSERT_EQ(XSetPointerMapping(other.get(), swapped.data(), buttons), MappingSuccess);
  XSync(other.get(), False);
  XSync(dpy, False);
  EXPECT_TRUE(tx::refreshPointerMapping());
  EXPECT_EQ(tx::pointerMapping()[0], swapped[0]);
  EXPECT_EQ(tx::pointerMapping()[2], swapped[2]);
  EXPECT_FALSE(tx::refreshPointerMapping());

  ASSERT_EQ(XSetPointerMapping(other.get(), original, buttons), MappingSuccess);
  XSync(other.get(), False);
  EXPECT_TRUE(tx::refreshPointerMapping());
  EXPECT_EQ(tx::pointerMapping()[0], original[0]);
}

TEST_F(TXUtilTest, AtomGettersInternTheirNames) {
  struct Case {
    Atom (*getter)();
    const char* name;
  };
  const Case cases[] = {
    {tx::atomWmProtocols, "WM_PROTOCOLS"},
    {tx::atomWmDeleteWindow, "WM_DELETE_WINDOW"},
    {tx::atomWmTakeFocus, "WM_TAKE_FOCUS"},
    {tx::atomWmChangeState, "WM_CHANGE_STATE"},
    {tx::atomWmState, "WM_STATE"},
    {tx::atomTimestamp, "TIMESTAMP"},
    {tx::atomTargets, "TARGETS"},
    {tx::atomSelectionString, "SELECTION_STRING"},
    {tx::atomClipboard, "CLIPBOARD"},
    {tx::atomIncr, "INCR"},
    {tx::atomUtf8String, "UTF8_STRING"},
    {tx::atomNetWmName, "_NET_WM_NAME"},
    {tx::atomNetWmIcon, "_NET_WM_ICON"},
    {tx::atomNetWmIconName, "_NET_WM_ICON_NAME"},
    {tx::atomNetWmPid, "_NET_WM_PID"},
    {tx::atomNetWmState, "_NET_WM_STATE"},
    {tx::atomNetWmStateAbove, "_NET_WM_STATE_ABOVE"},
    {tx::atomNetWmStateHidden, "_NET_WM_STATE_HIDDEN"},
    {tx::atomNetWmStateFullscreen, "_NET_WM_STATE_FULLSCREEN"},
    {tx::atomNetWmMoveResize, "_NET_WM_MOVERESIZE"},
    {tx::atomNetActiveWindow, "_NET_ACTIVE_WINDOW"},
    {tx::atomNetCurrentDesktop, "_NET_CURRENT_DESKTOP"},
    {tx::atomNetSupportingWmCheck, "_NET_SUPPORTING_WM_CHECK"},
    {tx::atomNetSupported, "_NET_SUPPORTED"},
    {tx::atomNetWorkarea, "_NET_WORKAREA"},
    {tx::atomMotifWmHints, "_MOTIF_WM_HINTS"},
    {tx::atomMitPriorityColors, "_MIT_PRIORITY_COLORS"},
    {tx::atomMotifWmInfo, "_MOTIF_WM_INFO"},
  };
  txtest::Connection other = txtest::connectShared();
  ASSERT_TRUE(other);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Atom atom = c.getter();
    ASSERT_NE(atom, Atom(None));
    // Interned on the server, so another client finds the same atom.
    EXPECT_EQ(XInternAtom(other.get(), c.name, True), atom);
    EXPECT_EQ(c.getter(), atom);
    EXPECT_STREQ(tx::atomName(atom), c.name);
  }
}

TEST_F(TXUtilTest, AtomNamesAreCachedAndSurviveBadAtoms) {
  const char* primary = tx::atomName(XA_PRIMARY);
  EXPECT_STREQ(primary, "PRIMARY");
  EXPECT_EQ(tx::atomName(XA_PRIMARY), primary);
  EXPECT_STREQ(tx::atomName(XA_CUT_BUFFER0), "CUT_BUFFER0");
  EXPECT_STREQ(tx::atomName(None), "None");

  // Atoms named by other clients may be bogus; that must not end the
  // process through Xlib's default error handler.
  Atom bogus = 0x7ffffff1;
  EXPECT_STREQ(tx::atomName(bogus), "(bad atom 0x7ffffff1)");
  EXPECT_NE(XInternAtom(dpy, "PRIMARY", True), Atom(None));
}

TEST_F(TXUtilTest, ServerTimeAdvances) {
  Time first = tx::getServerTime();
  EXPECT_NE(first, Time(CurrentTime));
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  Time later = first;
  while (later == first && std::chrono::steady_clock::now() < end)
    later = tx::getServerTime();
  EXPECT_GT(later, first);
}

TEST_F(TXUtilTest, ServerTimeMatchesOtherClientsEvents) {
  // A property change made by another client afterwards carries a time no
  // earlier than the one we were given.
  Time ours = tx::getServerTime();
  txtest::Connection other = txtest::connectShared();
  ASSERT_TRUE(other);
  Window window = XCreateSimpleWindow(other.get(), DefaultRootWindow(other.get()), 0, 0, 1, 1, 0,
                                      0, 0);
  XSelectInput(other.get(), window, PropertyChangeMask);
  XChangeProperty(other.get(), window, XA_WM_NAME, XA_STRING, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>("x"), 1);
  XEvent event;
  ASSERT_TRUE(txtest::waitForEvent(
    other.get(), [](const XEvent& e) { return e.type == PropertyNotify; }, &event));
  EXPECT_GE(event.xproperty.time, ours);
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
  EXPECT_TRUE(event.xclient.send_event);
  const long expected[5] = {1, long(tx::atomNetWmStateAbove()), 0, 2, -5};
  for (int i = 0; i < 5; i++)
    EXPECT_EQ(event.xclient.data.l[i], expected[i]) << i;
  XDestroyWindow(dpy, about);
}

// Death tests run in a fresh process (threadsafe style), where the
// toolkit's connection is not open yet.
class OpenDisplayDeathTest : public ::testing::Test {
protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(OpenDisplayDeathTest, FailureNamesTheDisplayAndRetriesWithLocalhost) {
  EXPECT_EXIT(
    {
      unsetenv("XAUTHLOCALHOSTNAME");
      try {
        tx::openDisplay(":65432");
      } catch (const plat::Exception& e) {
        const char* retried = std::getenv("XAUTHLOCALHOSTNAME");
        std::fprintf(stderr, "[%s] [%s]\n", e.str(), retried ? retried : "(unset)");
        std::exit(3);
      }
      std::exit(0);
    },
    ::testing::ExitedWithCode(3), "\\[unable to open display \":65432\"\\] \\[localhost\\]");
}

TEST_F(OpenDisplayDeathTest, EmptyNameUsesAndKeepsDisplay) {
  const std::string name = testsupport::XvfbServer::shared().displayName();
  EXPECT_EXIT(
    {
      // shared() exported the name already; an empty name must keep it.
      tx::openDisplay("");
      bool same = std::strcmp(std::getenv("DISPLAY"), name.c_str()) == 0;
      bool open = tx::display() && std::strcmp(DisplayString(tx::display()), name.c_str()) == 0;
      std::exit(same && open ? 0 : 4);
    },
    ::testing::ExitedWithCode(0), "");
}

TEST_F(OpenDisplayDeathTest, GivenNameReplacesDisplay) {
  const std::string name = testsupport::XvfbServer::shared().displayName();
  EXPECT_EXIT(
    {
      setenv("DISPLAY", ":65433", 1);
      tx::openDisplay(name.c_str());
      bool same = std::strcmp(std::getenv("DISPLAY"), name.c_str()) == 0;
      std::exit(same && tx::display() ? 0 : 4);
    },
    ::testing::ExitedWithCode(0), "");
}

TEST_F(OpenDisplayDeathTest, XsyncReportsErrorsAtOnce) {
  const std::string name = testsupport::XvfbServer::shared().displayName();
  EXPECT_EXIT(
    {
      plat::Configuration::global().setParam("xsync", "1", 10);
      tx::openDisplay(name.c_str());
      tx::ErrorCatcher catcher(100);
      XMapWindow(tx::display(), XAllocID(tx::display()));
      // Synchronous: the error is in before the call returns, no wait needed.
      std::exit(catcher.errorCode() == BadWindow ? 0 : 4);
    },
    ::testing::ExitedWithCode(0), "");
}

TEST_F(OpenDisplayDeathTest, OwncmapGivesAPrivateColormap) {
  const std::string name = testsupport::XvfbServer::shared().displayName();
  EXPECT_EXIT(
    {
      plat::Configuration::global().setParam("owncmap", "1", 10);
      tx::openDisplay(name.c_str());
      Display* dpy = tx::display();
      bool own = tx::colormap() != DefaultColormap(dpy, DefaultScreen(dpy));
      XColor white;
      white.pixel = tx::palettePixel(tx::paletteWhite);
      XQueryColor(dpy, tx::colormap(), &white);
      std::exit(own && white.red == 0xffff ? 0 : 4);
    },
    ::testing::ExitedWithCode(0), "");
}

} // namespace
