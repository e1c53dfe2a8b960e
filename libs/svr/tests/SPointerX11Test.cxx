// Pointer injection and cursor polling on the process's shared Xvfb through
// the toolkit's connection (whose pointer mapping the injector uses), with a
// second client that owns a full-screen window and records the buttons.

#include "libs/svr/tests/InputTestSupport.h"

#include "libs/svr/SPointerX11.h"
#include "libs/svr/XTestAvailability.h"

#include "base/plat/Configuration.h"
#include "base/plat/TimerManager.h"
#include "testsupport/XvfbServer.h"
#include "uilibs/tx/TXUtil.h"

#include <memory>
#include <utility>

namespace {

using svrtest::SeenEvent;

struct Button {
  int type;
  unsigned int button;
};

bool operator==(const Button& a, const Button& b) {
  return a.type == b.type && a.button == b.button;
}

void PrintTo(const Button& b, std::ostream* os) {
  *os << (b.type == ButtonPress ? "press " : "release ") << b.button;
}

std::vector<Button> buttonsOf(const std::vector<SeenEvent>& seen) {
  std::vector<Button> buttons;
  for (const SeenEvent& event : seen) {
    if (event.type == ButtonPress || event.type == ButtonRelease)
      buttons.push_back({event.type, event.code});
  }
  return buttons;
}

class RecordingCallback : public svr::SPointerX11Callback {
public:
  void cursorPosChanged(const rfb::Point& position) override { positions.push_back(position); }
  void localPointerMoved() override { ++localMoves; }
  std::vector<rfb::Point> positions;
  int localMoves = 0;
};

void setParam(const char* name, const char* value) {
  ASSERT_TRUE(plat::Configuration::global().setParam(name, value, 10));
}

class PointerTest : public ::testing::Test {
protected:
  void SetUp() override {
    svr::XTestAvailability::forget();
    const std::string& name = testsupport::XvfbServer::shared().displayName();
    tx::openDisplay(name.c_str());
    ASSERT_NE(tx::display(), nullptr);
    observer_ = std::make_unique<svrtest::Observer>(name, width(), height());
    pointer_ = std::make_unique<svr::SPointerX11>(tx::display());
  }

  void TearDown() override {
    pointer_.reset();
    observer_.reset();
    setParam("PollCursorTime", "100");
  }

  static int width() { return DisplayWidth(tx::display(), DefaultScreen(tx::display())); }
  static int height() { return DisplayHeight(tx::display(), DefaultScreen(tx::display())); }

  svrtest::Observer& observer() { return *observer_; }
  svr::SPointerX11& pointer() { return *pointer_; }

  rfb::Point realPointer() {
    const auto [x, y] = svrtest::pointerOf(observer().dpy());
    return rfb::Point(x, y);
  }

  bool pointerReaches(const rfb::Point& where) {
    return observer().waitFor([&] { return realPointer() == where; });
  }

  bool waitForButtons(size_t count) {
    return observer().waitFor([&] { return buttonsOf(observer().seen()).size() >= count; });
  }

  void click(uint32_t mask, const rfb::Point& at) {
    pointer().pointerEvent(at, mask, false);
    pointer().pointerEvent(at, 0, false);
  }

  // Sets the server's map so that physical button i gives logical map[i-1],
  // and waits until the toolkit's dispatcher has read it.
  void setPointerMapping(std::vector<unsigned char> map) {
    unsigned char current[32];
    const int count = XGetPointerMapping(observer().dpy(), current, sizeof(current));
    for (int i = int(map.size()); i < count; ++i)
      map.push_back((unsigned char)(i + 1));
    map.resize(count);
    ASSERT_EQ(XSetPointerMapping(observer().dpy(), map.data(), count), MappingSuccess);
    XSync(observer().dpy(), False);
    ASSERT_TRUE(observer().waitFor(
      [&] { return tx::pointerMapping()[0] == map[0] && tx::pointerMapping()[2] == map[2]; },
      [] { svrtest::dispatchEvents(tx::display()); }, tx::display()));
  }

  std::unique_ptr<svrtest::Observer> observer_;
  std::unique_ptr<svr::SPointerX11> pointer_;
};

TEST_F(PointerTest, AbsoluteMotionLandsWhereAsked) {
  for (const rfb::Point& where : {rfb::Point(100, 200), rfb::Point(0, 0),
                                  rfb::Point(width() - 1, height() - 1), rfb::Point(5, 7)}) {
    SCOPED_TRACE(where.x);
    pointer().pointerEvent(where, 0, false);
    EXPECT_TRUE(pointerReaches(where));
    EXPECT_EQ(pointer().position(), where);
  }
}

TEST_F(PointerTest, FirstAbsoluteMotionIsInjectedWhereverThePointerWas) {
  // Pins: with the stored position starting at (0, 0), a first event to
  // (0, 0) was taken for no motion and the pointer stayed where it was.
  XWarpPointer(observer().dpy(), 0, observer().root(), 0, 0, 0, 0, 300, 300);
  XSync(observer().dpy(), False);
  svr::SPointerX11 fresh(tx::display());
  EXPECT_EQ(fresh.position(), rfb::Point(300, 300));
  fresh.pointerEvent(rfb::Point(0, 0), 0, false);
  EXPECT_TRUE(pointerReaches(rfb::Point(0, 0)));
}

TEST_F(PointerTest, RelativeMotionAddsToThePosition) {
  // Without acceleration a relative motion moves by exactly its amount.
  XChangePointerControl(observer().dpy(), True, True, 1, 1, 0);
  XSync(observer().dpy(), False);
  pointer().pointerEvent(rfb::Point(400, 300), 0, false);
  ASSERT_TRUE(pointerReaches(rfb::Point(400, 300)));

  pointer().pointerEvent(rfb::Point(3, -2), 0, true);
  EXPECT_TRUE(pointerReaches(rfb::Point(403, 298)));
  EXPECT_EQ(pointer().position(), rfb::Point(403, 298));
  pointer().pointerEvent(rfb::Point(-10, 20), 0, true);
  EXPECT_TRUE(pointerReaches(rfb::Point(393, 318)));
  EXPECT_EQ(pointer().position(), rfb::Point(393, 318));
}

// Single buttons, the wheel and a left-handed map: SPointerX11WindowTest.
TEST_F(PointerTest, TwoButtonsAtOnceAreReleasedOneByOne) {
  const rfb::Point at(50, 50);
  pointer().pointerEvent(at, 0, false);
  pointer().pointerEvent(at, 0x5, false);
  pointer().pointerEvent(at, 0x4, false);
  pointer().pointerEvent(at, 0x0, false);
  const std::vector<Button> expected{
    {ButtonPress, 1}, {ButtonPress, 3}, {ButtonRelease, 1}, {ButtonRelease, 3}};
  ASSERT_TRUE(waitForButtons(expected.size()));
  EXPECT_EQ(buttonsOf(observer().seen()), expected);
  EXPECT_EQ(pointer().buttonMask(), 0u);
}

TEST_F(PointerTest, ADisabledPhysicalButtonIsSkipped) {
  // Physical button 2 gives nothing; physical 3 gives logical 2.
  setPointerMapping({1, 0, 2});
  const rfb::Point at(70, 70);
  pointer().pointerEvent(at, 0, false);
  click(1 << 1, at);
  click(1 << 0, at);
  const std::vector<Button> expected{
    {ButtonPress, 2}, {ButtonRelease, 2}, {ButtonPress, 1}, {ButtonRelease, 1}};
  EXPECT_TRUE(waitForButtons(expected.size()));
  setPointerMapping({1, 2, 3});
  EXPECT_EQ(buttonsOf(observer().seen()), expected);
}

TEST_F(PointerTest, OnlyTheFirstEightButtonsCanBePressed) {
  // Xvfb's pointer has more than eight buttons; the toolkit keeps eight.
  ASSERT_EQ(tx::pointerMappingCount(), 8);
  const rfb::Point at(80, 80);
  pointer().pointerEvent(at, 0, false);
  click(1u << 8, at); // button 9
  click(1u << 7, at); // button 8
  const std::vector<Button> expected{{ButtonPress, 8}, {ButtonRelease, 8}};
  ASSERT_TRUE(waitForButtons(expected.size()));
  EXPECT_EQ(buttonsOf(observer().seen()), expected);
}

class PollingTest : public PointerTest {
protected:
  bool runUntil(const std::function<bool()>& done) {
    return observer().waitFor(done, [this] { timers_.processTimers(); });
  }

  plat::TimerManager timers_{true};
  RecordingCallback recorder_;
};

TEST_F(PollingTest, AMoveByAnotherClientIsReportedAsLocalInputAndPosition) {
  setParam("PollCursorTime", "20");
  pointer().setCallback(&recorder_);
  ASSERT_TRUE(pointer().isPolling());

  XWarpPointer(observer().dpy(), 0, observer().root(), 0, 0, 0, 0, 321, 123);
  XSync(observer().dpy(), False);
  ASSERT_TRUE(runUntil([&] { return !recorder_.positions.empty(); }));
  EXPECT_EQ(recorder_.positions.back(), rfb::Point(321, 123));
  EXPECT_EQ(recorder_.localMoves, 1);
  pointer().setCallback(nullptr);
  EXPECT_FALSE(pointer().isPolling());
}

TEST_F(PollingTest, AViewersOwnMotionIsEchoedWithoutLocalInput) {
  setParam("PollCursorTime", "20");
  pointer().setCallback(&recorder_);
  pointer().pointerEvent(rfb::Point(222, 111), 0, false);
  ASSERT_TRUE(runUntil([&] { return !recorder_.positions.empty(); }));
  EXPECT_EQ(recorder_.positions.back(), rfb::Point(222, 111));
  EXPECT_EQ(recorder_.localMoves, 0);
  pointer().setCallback(nullptr);
}

TEST_F(PollingTest, StartingTakesThePositionAsKnown) {
  XWarpPointer(observer().dpy(), 0, observer().root(), 0, 0, 0, 0, 10, 20);
  XSync(observer().dpy(), False);
  setParam("PollCursorTime", "20");
  pointer().setCallback(&recorder_);
  pointer().pollAndReport();
  EXPECT_TRUE(recorder_.positions.empty());
  EXPECT_EQ(recorder_.localMoves, 0);
  pointer().setCallback(nullptr);
}

TEST_F(PollingTest, ZeroPollTimeDisablesPolling) {
  setParam("PollCursorTime", "0");
  pointer().setCallback(&recorder_);
  EXPECT_FALSE(pointer().isPolling());
  XWarpPointer(observer().dpy(), 0, observer().root(), 0, 0, 0, 0, 77, 88);
  XSync(observer().dpy(), False);
  pointer().pollAndReport();
  EXPECT_TRUE(recorder_.positions.empty());
  EXPECT_EQ(recorder_.localMoves, 0);
}

} // namespace
