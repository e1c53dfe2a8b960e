#include "uilibs/tx/TXEventDispatcher.h"
#include "uilibs/tx/TXWindow.h"

#include "XTestHelpers.h"

#include <memory>

namespace {

using tx::TXEventDispatcher;
using txtest::RecordingHandler;

// A synthetic event of `type` about `window`, dispatched as if read from the
// connection.
void dispatch(int type, Window window) {
  XEvent event{};
  event.type = type;
  event.xany.window = window;
  event.xany.display = tx::display();
  TXEventDispatcher::handleEvent(event);
}

// Calls `onEvent` with every event it sees.
struct CallingHandler : tx::TXEventHandler {
  explicit CallingHandler(std::function<void(const XEvent&)> onEvent)
    : onEvent(std::move(onEvent)) {}
  void handleEvent(const XEvent& event) override { onEvent(event); }
  std::function<void(const XEvent&)> onEvent;
};

// Counts the notifications of the window steps.
class CountingWindow : public tx::TXWindow {
public:
  CountingWindow() : tx::TXWindow(10, 10) { addEventMask(StructureNotifyMask); }
  void configured() override { configuredCalls++; }
  void resized() override { resizedCalls++; }
  int configuredCalls = 0;
  int resizedCalls = 0;
};

class TXEventDispatcherTest : public ::testing::Test {
protected:
  void SetUp() override { txtest::toolkitDisplay(); }

  static long selectedRootMask() {
    XWindowAttributes attributes;
    XGetWindowAttributes(tx::display(), tx::rootWindow(), &attributes);
    return attributes.your_event_mask;
  }
};

TEST_F(TXEventDispatcherTest, GeneralHandlersAreCalledOnceInOrderAndMayRemoveOthers) {
  std::vector<int> order;
  CallingHandler first([&](const XEvent&) { order.push_back(1); });
  CallingHandler selfRemoving([&](const XEvent&) {
    order.push_back(2);
    TXEventDispatcher::addEventHandler(&selfRemoving, false);
  });
  auto victim = std::make_unique<CallingHandler>([&](const XEvent&) { order.push_back(4); });
  // Used to go wrong: the copied list still named a handler that an earlier
  // handler had removed and destroyed, and it was called after its end.
  CallingHandler killer([&](const XEvent&) {
    order.push_back(3);
    if (victim) {
      TXEventDispatcher::addEventHandler(victim.get(), false);
      victim.reset();
    }
  });
  for (tx::TXEventHandler* handler : {&first, &selfRemoving, &first, &killer})
    TXEventDispatcher::addEventHandler(handler, true);
  TXEventDispatcher::addEventHandler(victim.get(), true);

  for (int round = 0; round < 2; round++)
    dispatch(ClientMessage, 0);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 1, 3}));
  TXEventDispatcher::addEventHandler(&first, false);
  TXEventDispatcher::addEventHandler(&killer, false);
}

// (Root events reaching their handlers: DesktopUidMonitorTest.)
TEST_F(TXEventDispatcherTest, RootHandlersSelectTheUnionOfTheirMasks) {
  RecordingHandler properties, substructure;
  long before = TXEventDispatcher::rootEventMask();
  TXEventDispatcher::addRootEventHandler(&properties, true, PropertyChangeMask);
  TXEventDispatcher::addRootEventHandler(&substructure, true, SubstructureNotifyMask);
  EXPECT_EQ(selectedRootMask(), before | PropertyChangeMask | SubstructureNotifyMask);
  TXEventDispatcher::addRootEventHandler(&properties, false, 0);
  EXPECT_EQ(selectedRootMask(), before | SubstructureNotifyMask);
  // Adding again replaces the mask.
  TXEventDispatcher::addRootEventHandler(&substructure, true, ButtonPressMask);
  EXPECT_EQ(selectedRootMask(), before | ButtonPressMask);
  TXEventDispatcher::addRootEventHandler(&substructure, false, 0);
  EXPECT_EQ(selectedRootMask(), before);
}

TEST_F(TXEventDispatcherTest, EventsGoToTheirWindowAndGeneralHandlers) {
  CountingWindow window;
  RecordingHandler own, general;
  window.addWindowEventHandler(&own, true);
  TXEventDispatcher::addEventHandler(&general, true);
  dispatch(ConfigureNotify, window.win() + 1000);
  dispatch(PropertyNotify, window.win());
  EXPECT_EQ(general.events.size(), 2u);
  ASSERT_EQ(own.events.size(), 1u);
  EXPECT_EQ(own.events[0].type, PropertyNotify);
  TXEventDispatcher::addEventHandler(&general, false);

  // Focus events of any window set the focus flag.
  dispatch(FocusIn, 0x1234);
  EXPECT_TRUE(TXEventDispatcher::hasFocus());
  dispatch(FocusOut, 0x4321);
  EXPECT_FALSE(TXEventDispatcher::hasFocus());
}

TEST_F(TXEventDispatcherTest, QueuedConfigureNotifiesGiveOneConfigured) {
  CountingWindow window;
  // Earlier tests' windows may still have events on their way.
  XSync(tx::display(), False);
  txtest::dispatchEvents();
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
  // A new height alone is a resize.
  XResizeWindow(tx::display(), window.win(), 100, 60);
  EXPECT_TRUE(txtest::pumpUntil([&] { return window.configuredCalls == 3; }));
  EXPECT_EQ(window.resizedCalls, 2);
}

TEST_F(TXEventDispatcherTest, WindowHandlersRunAfterTheWindowAndMayDestroyIt) {
  auto window = std::make_unique<CountingWindow>();
  int sawConfigured = -1;
  CallingHandler destroyer([&](const XEvent& event) {
    if (event.type == ConfigureNotify) {
      sawConfigured = window->configuredCalls;
      window.reset();
    }
  });
  RecordingHandler later;
  window->addWindowEventHandler(&destroyer, true);
  window->addWindowEventHandler(&later, true);
  XResizeWindow(tx::display(), window->win(), 33, 33);
  EXPECT_TRUE(txtest::pumpUntil([&] { return window == nullptr; }));
  // The window had been told before its handlers ran; the handler after the
  // destroyer belonged to a window that no longer exists.
  EXPECT_EQ(sawConfigured, 1);
  EXPECT_TRUE(later.events.empty());
}

} // namespace
