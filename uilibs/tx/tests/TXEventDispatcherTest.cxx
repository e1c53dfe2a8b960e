#include "uilibs/tx/TXEventDispatcher.h"
#include "uilibs/tx/TXWindow.h"

#include "base/plat/Configuration.h"

#include "TXTestClient.h"

#include <X11/Xatom.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <sys/time.h>

namespace {

using txtest::RecordingHandler;
using txtest::TestClient;

class TXEventDispatcherTest : public ::testing::Test {
protected:
  void SetUp() override { txtest::openSharedDisplay(); }

  // A synthetic event of `type` about `window`, as the dispatcher sees
  // events read from the connection.
  static XEvent eventFor(int type, Window window) {
    XEvent event;
    std::memset(&event, 0, sizeof(event));
    event.type = type;
    event.xany.window = window;
    event.xany.display = tx::display();
    return event;
  }

  static long selectedRootMask() {
    XWindowAttributes attributes;
    XGetWindowAttributes(tx::display(), tx::rootWindow(), &attributes);
    return attributes.your_event_mask;
  }
};

// Removes itself from the general handlers when it sees an event.
class SelfRemovingHandler : public tx::TXEventHandler {
public:
  void handleEvent(const XEvent&) override {
    calls++;
    tx::TXEventDispatcher::addEventHandler(this, false);
  }
  int calls = 0;
};

// Removes and destroys another handler when it sees an event.
class KillerHandler : public tx::TXEventHandler {
public:
  explicit KillerHandler(std::unique_ptr<RecordingHandler>& victim) : victim_(victim) {}
  void handleEvent(const XEvent&) override {
    tx::TXEventDispatcher::addEventHandler(victim_.get(), false);
    victim_.reset();
  }

private:
  std::unique_ptr<RecordingHandler>& victim_;
};

TEST_F(TXEventDispatcherTest, HandlerRemovingItselfSeesTheCurrentEventOnly) {
  SelfRemovingHandler selfRemoving;
  RecordingHandler after;
  tx::TXEventDispatcher::addEventHandler(&selfRemoving, true);
  tx::TXEventDispatcher::addEventHandler(&after, true);

  XEvent first = eventFor(ClientMessage, 0);
  XEvent second = eventFor(ClientMessage, 0);
  tx::TXEventDispatcher::handleEvent(first);
  tx::TXEventDispatcher::handleEvent(second);

  EXPECT_EQ(selfRemoving.calls, 1);
  EXPECT_EQ(after.events.size(), 2u);
  tx::TXEventDispatcher::addEventHandler(&after, false);
}

TEST_F(TXEventDispatcherTest, HandlerListedOnceAndCalledInRegistrationOrder) {
  std::vector<int> order;
  struct Ordered : tx::TXEventHandler {
    Ordered(std::vector<int>& order, int id) : order(order), id(id) {}
    void handleEvent(const XEvent&) override { order.push_back(id); }
    std::vector<int>& order;
    int id;
  } a(order, 1), b(order, 2);
  tx::TXEventDispatcher::addEventHandler(&a, true);
  tx::TXEventDispatcher::addEventHandler(&b, true);
  tx::TXEventDispatcher::addEventHandler(&a, true);
  XEvent event = eventFor(ClientMessage, 0);
  tx::TXEventDispatcher::handleEvent(event);
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  tx::TXEventDispatcher::addEventHandler(&a, false);
  tx::TXEventDispatcher::addEventHandler(&b, false);
}

// Used to go wrong: the copied list still named a handler that an earlier
// handler had removed and destroyed, and it was called after its end.
TEST_F(TXEventDispatcherTest, HandlerRemovedByAnEarlierHandlerIsNotCalled) {
  auto victim = std::make_unique<RecordingHandler>();
  KillerHandler killer(victim);
  tx::TXEventDispatcher::addEventHandler(&killer, true);
  tx::TXEventDispatcher::addEventHandler(victim.get(), true);

  XEvent event = eventFor(ClientMessage, 0);
  tx::TXEventDispatcher::handleEvent(event);

  EXPECT_EQ(victim, nullptr);
  tx::TXEventDispatcher::addEventHandler(&killer, false);
}

TEST_F(TXEventDispatcherTest, RootSelectsTheUnionOfTheHandlersMasks) {
  RecordingHandler properties, substructure;
  long before = tx::TXEventDispatcher::rootEventMask();
  tx::TXEventDispatcher::addRootEventHandler(&properties, true, PropertyChangeMask);
  tx::TXEventDispatcher::addRootEventHandler(&substructure, true, SubstructureNotifyMask);
  EXPECT_EQ(selectedRootMask(), before | PropertyChangeMask | SubstructureNotifyMask);

  // Another client sees the selection too.
  TestClient client;
  XWindowAttributes seen;
  XGetWindowAttributes(client.dpy(), client.root(), &seen);
  EXPECT_EQ(seen.all_event_masks & (PropertyChangeMask | SubstructureNotifyMask),
            PropertyChangeMask | SubstructureNotifyMask);

  tx::TXEventDispatcher::addRootEventHandler(&properties, false, 0);
  EXPECT_EQ(selectedRootMask(), before | SubstructureNotifyMask);

  // Adding again replaces the mask.
  tx::TXEventDispatcher::addRootEventHandler(&substructure, true, ButtonPressMask);
  EXPECT_EQ(selectedRootMask(), before | ButtonPressMask);
  tx::TXEventDispatcher::addRootEventHandler(&substructure, false, 0);
  EXPECT_EQ(selectedRootMask(), before);
}

TEST_F(TXEventDispatcherTest, RootEventsReachRootHandlersButNotWindows) {
  RecordingHandler rootHandler, general;
  tx::TXEventDispatcher::addRootEventHandler(&rootHandler, true, PropertyChangeMask);
  tx::TXEventDispatcher::addEventHandler(&general, true);
  // The selection must be in force before the other client acts.
  XSync(tx::display(), False);
  TestClient client;
  Atom marker = client.atom("KWO_TEST_ROOT_MARKER");
  long value = 7;
  XChangeProperty(client.dpy(), client.root(), marker, XA_INTEGER, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(&value), 1);
  XFlush(client.dpy());

  auto sawMarker = [&](const std::vector<XEvent>& events) {
    for (const XEvent& event : events) {
      if (event.type == PropertyNotify && event.xproperty.atom == marker)
        return true;
    }
    return false;
  };
  EXPECT_TRUE(txtest::pumpUntil([&] { return sawMarker(rootHandler.events); }));
  EXPECT_TRUE(sawMarker(general.events));
  tx::TXEventDispatcher::addRootEventHandler(&rootHandler, false, 0);
  tx::TXEventDispatcher::addEventHandler(&general, false);
}

TEST_F(TXEventDispatcherTest, FocusFlagFollowsFocusEventsOfAnyWindow) {
  XEvent in = eventFor(FocusIn, 0x1234);
  tx::TXEventDispatcher::handleEvent(in);
  EXPECT_TRUE(tx::TXEventDispatcher::hasFocus());
  XEvent out = eventFor(FocusOut, 0x4321);
  tx::TXEventDispatcher::handleEvent(out);
  EXPECT_FALSE(tx::TXEventDispatcher::hasFocus());
}

TEST_F(TXEventDispatcherTest, TraceLineNamesTheEventWindowAndDetails) {
  const char* oldTz = std::getenv("TZ");
  std::string savedTz = oldTz ? oldTz : "";
  setenv("TZ", "UTC", 1);
  tzset();
  timeval now{3600 * 13 + 60 * 4 + 5, 42999}; // 13:04:05.042

  XEvent expose = eventFor(Expose, 0xabc);
  expose.xexpose.x = 10;
  expose.xexpose.y = 20;
  expose.xexpose.width = 30;
  expose.xexpose.height = 40;
  XEvent button = eventFor(ButtonPress, 0x1);
  button.xbutton.x = -3;
  button.xbutton.y = 9;
  XEvent motion = eventFor(MotionNotify, 0x2);
  motion.xmotion.x = 5;
  motion.xmotion.y = 6;
  XEvent enter = eventFor(EnterNotify, 0x3);
  enter.xcrossing.x = 7;
  enter.xcrossing.y = 8;
  XEvent configure = eventFor(ConfigureNotify, 0x4);
  configure.xconfigure.x = 1;
  configure.xconfigure.y = 2;
  configure.xconfigure.width = 100;
  configure.xconfigure.height = 50;
  XEvent property = eventFor(PropertyNotify, 0x5);
  XEvent extension = eventFor(91, 0x6);
  XEvent mapping = eventFor(MappingNotify, 0x7);

  struct Case {
    const XEvent* event;
    const char* line;
  } cases[] = {
    {&expose, "13:04:05.042 Expose window abc 10,20 to 40,60\n"},
    {&button, "13:04:05.042 ButtonPress window 1 -3,9\n"},
    {&motion, "13:04:05.042 MotionNotify window 2 5,6\n"},
    {&enter, "13:04:05.042 EnterNotify window 3 7,8\n"},
    {&configure, "13:04:05.042 ConfigureNotify window 4 1,2 to 101,52\n"},
    {&property, "13:04:05.042 PropertyNotify window 5 \n"},
    {&extension, "13:04:05.042 91 window 6 \n"},
    {&mapping, "13:04:05.042 MappingNotify window 7 \n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(tx::TXEventDispatcher::traceLine(*c.event, now), c.line);
  }

  if (oldTz)
    setenv("TZ", savedTz.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

// Counts the notifications of the window steps.
class CountingWindow : public tx::TXWindow {
public:
  CountingWindow() : tx::TXWindow(10, 10) {}
  void configured() override { configuredCalls++; }
  void resized() override { resizedCalls++; }
  int configuredCalls = 0;
  int resizedCalls = 0;
};

TEST_F(TXEventDispatcherTest, FiveQueuedConfigureNotifyGiveOneConfigured) {
  CountingWindow window;
  window.addEventMask(StructureNotifyMask);
  for (int i = 1; i <= 5; i++)
    XResizeWindow(tx::display(), window.win(), 20 * i, 10 * i);
  // All five are in the queue before the first is dispatched.
  XSync(tx::display(), False);
  ASSERT_EQ(XEventsQueued(tx::display(), QueuedAlready), 5);

  txtest::dispatchEvents();

  EXPECT_EQ(window.configuredCalls, 1);
  EXPECT_EQ(window.resizedCalls, 1);
  EXPECT_EQ(window.width(), 100);
  EXPECT_EQ(window.height(), 50);

  // The same size again: configured, not resized.
  XMoveWindow(tx::display(), window.win(), 3, 3);
  EXPECT_TRUE(txtest::pumpUntil([&] { return window.configuredCalls == 2; }));
  EXPECT_EQ(window.resizedCalls, 1);
}

TEST_F(TXEventDispatcherTest, WindowHandlersRunAfterTheWindowAndMayDestroyIt) {
  auto window = std::make_unique<CountingWindow>();
  window->addEventMask(StructureNotifyMask);
  struct Destroyer : tx::TXEventHandler {
    std::unique_ptr<CountingWindow>* window;
    int sawConfigured = -1;
    void handleEvent(const XEvent& event) override {
      if (event.type != ConfigureNotify)
        return;
      sawConfigured = (*window)->configuredCalls;
      window->reset();
    }
  } destroyer;
  destroyer.window = &window;
  RecordingHandler later;
  window->addWindowEventHandler(&destroyer, true);
  window->addWindowEventHandler(&later, true);

  XResizeWindow(tx::display(), window->win(), 33, 33);
  EXPECT_TRUE(txtest::pumpUntil([&] { return window == nullptr; }));
  // The window had been told before its handlers ran; the handler after the
  // destroyer belonged to a window that no longer exists.
  EXPECT_EQ(destroyer.sawConfigured, 1);
  EXPECT_TRUE(later.events.empty());
}

TEST_F(TXEventDispatcherTest, EventsOfUnknownWindowsGoOnlyToGeneralHandlers) {
  CountingWindow window;
  RecordingHandler own, general;
  window.addWindowEventHandler(&own, true);
  tx::TXEventDispatcher::addEventHandler(&general, true);
  XEvent other = eventFor(ConfigureNotify, window.win() + 1000);
  tx::TXEventDispatcher::handleEvent(other);
  XEvent mine = eventFor(PropertyNotify, window.win());
  tx::TXEventDispatcher::handleEvent(mine);
  EXPECT_EQ(general.events.size(), 2u);
  ASSERT_EQ(own.events.size(), 1u);
  EXPECT_EQ(own.events[0].type, PropertyNotify);
  tx::TXEventDispatcher::addEventHandler(&general, false);
}

} // namespace

namespace {

class ClientMessageWindow : public tx::TXWindow {
public:
  void takeFocus(Time time) override { focusTimes.push_back(time); }
  std::vector<Time> focusTimes;
};

XEvent protocolMessage(Window window, Atom protocol, Time time) {
  XEvent event;
  std::memset(&event, 0, sizeof(event));
  event.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = tx::atomWmProtocols();
  event.xclient.format = 32;
  event.xclient.data.l[0] = long(protocol);
  event.xclient.data.l[1] = long(time);
  return event;
}

TEST(TXWindowProtocolsTest, DeleteGoesOnlyToTheDeleteHandlerAndTakeFocusNeedsAMappedWindow) {
  txtest::openSharedDisplay();
  ClientMessageWindow window;
  RecordingHandler deleteHandler, own;
  window.addWindowEventHandler(&own, true);

  XEvent deleteMessage = protocolMessage(window.win(), tx::atomWmDeleteWindow(), 0);
  tx::TXEventDispatcher::handleEvent(deleteMessage);
  EXPECT_EQ(own.events.size(), 1u) << "without a delete handler the window's handlers get it";

  window.setDeleteHandler(&deleteHandler);
  tx::TXEventDispatcher::handleEvent(deleteMessage);
  EXPECT_EQ(deleteHandler.events.size(), 1u);
  EXPECT_EQ(own.events.size(), 1u);

  XEvent takeFocus = protocolMessage(window.win(), tx::atomWmTakeFocus(), 1234);
  tx::TXEventDispatcher::handleEvent(takeFocus);
  EXPECT_TRUE(window.focusTimes.empty()) << "unmapped windows do not take the focus";
  window.addEventMask(StructureNotifyMask);
  window.map();
  ASSERT_TRUE(txtest::pumpUntil([&] { return window.mapped(); }));
  tx::TXEventDispatcher::handleEvent(takeFocus);
  EXPECT_EQ(window.focusTimes, (std::vector<Time>{1234}));
}

TEST(TXEventTraceTest, DebugEventsWritesOneLinePerEventToStandardError) {
  txtest::openSharedDisplay();
  XEvent event;
  std::memset(&event, 0, sizeof(event));
  event.type = KeymapNotify;
  event.xany.window = 0x2a;

  testing::internal::CaptureStderr();
  tx::TXEventDispatcher::handleEvent(event);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

  plat::Configuration::global().setParam("_DebugEvents", "1", 10);
  testing::internal::CaptureStderr();
  tx::TXEventDispatcher::handleEvent(event);
  std::string traced = testing::internal::GetCapturedStderr();
  plat::Configuration::global().setParam("_DebugEvents", "0", 10);
  // "HH:MM:SS.mmm KeymapNotify window 2a \n"
  ASSERT_EQ(traced.size(), 37u) << traced;
  EXPECT_EQ(traced.substr(12), " KeymapNotify window 2a \n");
  EXPECT_EQ(traced[2], ':');
  EXPECT_EQ(traced[8], '.');
}

} // namespace
