#include "XTestHelpers.h"

#include "uilibs/tx/EnumWindows.h"
#include "uilibs/tx/WindowPosTracker.h"

#include <algorithm>

namespace {

struct Collecting : tx::EnumWindowsCallback {
  explicit Collecting(int stopAfter = -1) : stopAfter(stopAfter) {}
  bool enumWindow(Window window) override {
    windows.push_back(window);
    return stopAfter < 0 || int(windows.size()) < stopAfter;
  }
  // The windows enumerated that are among `wanted`, in their order.
  std::vector<Window> only(const std::vector<Window>& wanted) const {
    std::vector<Window> result;
    std::copy_if(windows.begin(), windows.end(), std::back_inserter(result), [&](Window w) {
      return std::find(wanted.begin(), wanted.end(), w) != wanted.end();
    });
    return result;
  }
  int stopAfter;
  std::vector<Window> windows;
};

struct Move {
  Window window;
  rfb::Rect oldRect, newRect;
};

struct RecordingMoves : tx::WindowPosTracker::Callback {
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

  // Enumerates from `parent` (0: the root) and returns the callback.
  static Collecting enumerate(Window parent = 0, bool recursive = false, int stopAfter = -1,
                              bool expectedResult = true) {
    Collecting collected(stopAfter);
    EXPECT_EQ(tx::enumerateWindows(collected, parent, recursive), expectedResult);
    return collected;
  }

  txtest::TestClient client;
  Window a = 0, b = 0, c = 0, child = 0;
};

TEST_F(WindowPosTrackerTest, EnumerationListsWindowsBottomFirst) {
  using Windows = std::vector<Window>;
  EXPECT_EQ(enumerate().only({a, b, c, child}), (Windows{a, b, c}));
  // Children come right after their parent.
  EXPECT_EQ(enumerate(0, true).only({a, b, c, child}), (Windows{a, child, b, c}));
  XRaiseWindow(client.dpy(), a);
  XSync(client.dpy(), False);
  EXPECT_EQ(enumerate().only({a, b, c}), (Windows{b, c, a}));
  EXPECT_EQ(enumerate(0, true, 1, false).windows.size(), 1u);
  Window gone = client.createWindow();
  XDestroyWindow(client.dpy(), gone);
  XSync(client.dpy(), False);
  EXPECT_TRUE(enumerate(gone).windows.empty());

  // Used to recurse once per level: a client nesting windows deeply enough
  // could exhaust the stack of an agent running as root.
  Windows chain{client.root()};
  for (int depth = 0; depth < tx::maxWindowDepth + 3; depth++)
    chain.push_back(XCreateSimpleWindow(client.dpy(), chain.back(), 0, 0, 5, 5, 0, 0, 0));
  XSync(client.dpy(), False);
  EXPECT_EQ(enumerate(0, true).only(chain),
            Windows(chain.begin() + 1, chain.begin() + 1 + tx::maxWindowDepth));
}

TEST_F(WindowPosTrackerTest, TracksMovesAndForgetsDestroyedWindows) {
  RecordingMoves callback;
  tx::WindowPosTracker tracker(callback);
  tracker.start();
  // Rectangles include the border on both sides, in root coordinates.
  EXPECT_EQ(tracker.rects().at(a), rfb::Rect(10, 20, 114, 74));
  EXPECT_EQ(tracker.rects().at(c), rfb::Rect(5, 5, 17, 17));
  EXPECT_EQ(tracker.rects().count(child), 0u);

  XMoveResizeWindow(client.dpy(), a, 50, 60, 200, 100);
  // A window made after start is new: its old rectangle is empty.
  Window late = client.createWindow(0, 1, 1, 4, 4);
  XMoveWindow(client.dpy(), late, 7, 8);
  XFlush(client.dpy());
  ASSERT_TRUE(txtest::pumpUntil([&] { return callback.moves.size() == 2; }));
  EXPECT_EQ(callback.moves[0].window, a);
  EXPECT_EQ(callback.moves[0].oldRect, rfb::Rect(10, 20, 114, 74));
  EXPECT_EQ(callback.moves[0].newRect, rfb::Rect(50, 60, 254, 164));
  EXPECT_EQ(callback.moves[1].window, late);
  EXPECT_TRUE(callback.moves[1].oldRect.isEmpty());
  EXPECT_EQ(callback.moves[1].newRect, rfb::Rect(7, 8, 11, 12));

  XDestroyWindow(client.dpy(), b);
  XFlush(client.dpy());
  EXPECT_TRUE(txtest::pumpUntil([&] { return tracker.rects().count(b) == 0; }));

  tracker.stop();
  XMoveWindow(client.dpy(), c, 90, 90);
  XSync(client.dpy(), False);
  XSync(tx::display(), False);
  txtest::dispatchEvents();
  EXPECT_EQ(callback.moves.size(), 2u);
}

} // namespace
