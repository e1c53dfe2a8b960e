#include "XTestHelpers.h"

#include "uilibs/tx/EnumWindows.h"
#include "uilibs/tx/WindowPosTracker.h"

#include <algorithm>

namespace {

using txtest::TestClient;

class CollectingCallback : public tx::EnumWindowsCallback {
public:
  explicit CollectingCallback(int stopAfter = -1) : stopAfter_(stopAfter) {}
  bool enumWindow(Window window) override {
    windows.push_back(window);
    return stopAfter_ < 0 || int(windows.size()) < stopAfter_;
  }
  std::vector<Window> windows;

private:
  int stopAfter_;
};

struct Move {
  Window window;
  rfb::Rect oldRect;
  rfb::Rect newRect;
};

class RecordingTrackerCallback : public tx::WindowPosTracker::Callback {
public:
  void windowMoved(Window window, const rfb::Rect& oldRect, const rfb::Rect& newRect) override {
    moves.push_back({window, oldRect, newRect});
  }
  std::vector<Move> moves;
};

class WindowPosTrackerTest : public ::testing::Test {
protected:
  void SetUp() override {
    txtest::toolkitDisplay();
    a = client.createWindow(0, 10, 20, 100, 50, 2);
    b = client.createWindow(0, 300, 40, 30, 30, 0);
    c = client.createWindow(0, 5, 5, 10, 10, 1);
    child = XCreateSimpleWindow(client.dpy(), a, 1, 1, 5, 5, 0, 0, 0);
    XSync(client.dpy(), False);
  }

  static std::vector<Window> onlyOf(const std::vector<Window>& all,
                                    const std::vector<Window>& wanted) {
    std::vector<Window> result;
    for (Window w : all) {
      if (std::find(wanted.begin(), wanted.end(), w) != wanted.end())
        result.push_back(w);
    }
    return result;
  }

  TestClient client;
  Window a = 0, b = 0, c = 0, child = 0;
};

TEST_F(WindowPosTrackerTest, EnumerationListsWindowsBottomFirst) {
  CollectingCallback all;
  EXPECT_TRUE(tx::enumerateWindows(all));
  EXPECT_EQ(onlyOf(all.windows, {a, b, c, child}), (std::vector<Window>{a, b, c}));
  // Children come right after their parent.
  CollectingCallback recursive;
  EXPECT_TRUE(tx::enumerateWindows(recursive, 0, true));
  EXPECT_EQ(onlyOf(recursive.windows, {a, b, c, child}), (std::vector<Window>{a, child, b, c}));
  CollectingCallback ofA;
  EXPECT_TRUE(tx::enumerateWindows(ofA, a, false));
  EXPECT_EQ(ofA.windows, (std::vector<Window>{child}));

  // Raising one changes the stacking order that is reported.
  XRaiseWindow(client.dpy(), a);
  XSync(client.dpy(), False);
  CollectingCallback raised;
  tx::enumerateWindows(raised);
  EXPECT_EQ(onlyOf(raised.windows, {a, b, c}), (std::vector<Window>{b, c, a}));

  CollectingCallback first(1);
  EXPECT_FALSE(tx::enumerateWindows(first, 0, true));
  EXPECT_EQ(first.windows.size(), 1u);

  Window gone = client.createWindow();
  XDestroyWindow(client.dpy(), gone);
  XSync(client.dpy(), False);
  CollectingCallback none;
  EXPECT_TRUE(tx::enumerateWindows(none, gone));
  EXPECT_TRUE(none.windows.empty());

  // Used to recurse once per level: a client nesting windows deeply enough
  // could exhaust the stack of an agent running as root.
  std::vector<Window> chain;
  Window parent = client.root();
  for (int depth = 0; depth < tx::maxWindowDepth + 3; depth++) {
    parent = XCreateSimpleWindow(client.dpy(), parent, 0, 0, 5, 5, 0, 0, 0);
    chain.push_back(parent);
  }
  XSync(client.dpy(), False);
  CollectingCallback deep;
  EXPECT_TRUE(tx::enumerateWindows(deep, 0, true));
  EXPECT_EQ(onlyOf(deep.windows, chain),
            std::vector<Window>(chain.begin(), chain.begin() + tx::maxWindowDepth));
}

TEST_F(WindowPosTrackerTest, TracksMovesAndForgetsDestroyedWindows) {
  RecordingTrackerCallback callback;
  tx::WindowPosTracker tracker(callback);
  tracker.start();
  // Rectangles include the border on both sides, in root coordinates.
  EXPECT_EQ(tracker.rects().at(a), rfb::Rect(10, 20, 114, 74));
  EXPECT_EQ(tracker.rects().at(b), rfb::Rect(300, 40, 330, 70));
  EXPECT_EQ(tracker.rects().at(c), rfb::Rect(5, 5, 17, 17));
  EXPECT_EQ(tracker.rects().count(child), 0u);
  EXPECT_TRUE(callback.moves.empty());

  XMoveResizeWindow(client.dpy(), a, 50, 60, 200, 100);
  XFlush(client.dpy());
  ASSERT_TRUE(txtest::pumpUntil([&] { return !callback.moves.empty(); }));
  EXPECT_EQ(callback.moves[0].window, a);
  EXPECT_EQ(callback.moves[0].oldRect, rfb::Rect(10, 20, 114, 74));
  EXPECT_EQ(callback.moves[0].newRect, rfb::Rect(50, 60, 254, 164));

  // A window made after start is new: its old rectangle is empty.
  Window late = client.createWindow(0, 1, 1, 4, 4);
  XMoveWindow(client.dpy(), late, 7, 8);
  XFlush(client.dpy());
  ASSERT_TRUE(txtest::pumpUntil([&] { return callback.moves.size() == 2; }));
  EXPECT_EQ(callback.moves[1].window, late);
  EXPECT_TRUE(callback.moves[1].oldRect.isEmpty());
  EXPECT_EQ(callback.moves[1].newRect, rfb::Rect(7, 8, 11, 12));

  XDestroyWindow(client.dpy(), b);
  XFlush(client.dpy());
  EXPECT_TRUE(txtest::pumpUntil([&] { return tracker.rects().count(b) == 0; }));

  tracker.stop();
  XMoveWindow(client.dpy(), c, 90, 90);
  XSync(client.dpy(), False);
  txtest::dispatchEvents();
  XSync(tx::display(), False);
  txtest::dispatchEvents();
  EXPECT_EQ(callback.moves.size(), 2u);
}

} // namespace
