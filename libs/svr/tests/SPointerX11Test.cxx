// Pointer injection on the process's shared Xvfb through the toolkit's
// connection (whose pointer mapping the injector uses), as an application
// sees it: motion and buttons in a window that does not sit at the screen's
// origin. (Polling for moves made at the desktop: the end-to-end tests.)

#include "libs/svr/tests/InputTestSupport.h"

#include "libs/svr/SPointerX11.h"
#include "libs/svr/XTestAvailability.h"

#include "testsupport/XvfbServer.h"
#include "uilibs/tx/TXUtil.h"

#include <memory>
#include <vector>

namespace {

// One pointer event as the window received it: type, button (0 for
// motion), window coordinates.
using Seen = std::tuple<int, unsigned int, int, int>;
constexpr int M = MotionNotify;
constexpr int P = ButtonPress;
constexpr int R = ButtonRelease;
constexpr int windowX = 100, windowY = 50;

// A window at (windowX, windowY) that records pointer events.
class RecordingWindow {
public:
  explicit RecordingWindow(const std::string& name)
    : window_(name, windowX, windowY, PointerMotionMask | ButtonPressMask | ButtonReleaseMask,
              [this](XEvent& event) { collect(event); }) {}

  Display* dpy() const { return window_.dpy(); }

  // Collects until `done` holds or 30 s pass; the toolkit's connection is
  // pumped too so that it sees button-map changes.
  bool waitFor(const std::function<bool()>& done) {
    return window_.waitFor(done, [] { svrtest::dispatchEvents(tx::display()); }, tx::display());
  }

  // Waits for the last expected event and compares everything seen.
  void expectSeen(const std::vector<Seen>& expected) {
    EXPECT_TRUE(waitFor([&] { return seen_.size() >= expected.size(); }));
    EXPECT_EQ(seen_, expected);
    seen_.clear();
  }

private:
  void collect(const XEvent& event) {
    if (event.type == MotionNotify)
      seen_.emplace_back(M, 0, event.xmotion.x, event.xmotion.y);
    if (event.type == ButtonPress || event.type == ButtonRelease)
      seen_.emplace_back(event.type, event.xbutton.button, event.xbutton.x, event.xbutton.y);
  }

  // Before the window, whose construction collects events already.
  std::vector<Seen> seen_;
  svrtest::EventWindow window_;
};

class PointerTest : public ::testing::Test {
protected:
  void SetUp() override {
    svr::XTestAvailability::forget();
    const std::string& name = testsupport::XvfbServer::shared().displayName();
    tx::openDisplay(name.c_str());
    ASSERT_NE(tx::display(), nullptr);
    // The pointer starts outside the window so that entering it is a
    // motion; without acceleration a relative motion moves by its amount.
    warp(10, 10);
    XChangePointerControl(tx::display(), True, True, 1, 1, 0);
    XSync(tx::display(), False);
    window_ = std::make_unique<RecordingWindow>(name);
    pointer_ = std::make_unique<svr::SPointerX11>(tx::display());
  }

  void TearDown() override {
    pointer_.reset();
    setMapping({1, 2, 3});
    window_.reset();
  }

  void warp(int x, int y) {
    XWarpPointer(tx::display(), 0, DefaultRootWindow(tx::display()), 0, 0, 0, 0, x, y);
    XSync(tx::display(), False);
  }

  // Physical button i gives logical map[i-1]; waits until the toolkit has
  // read the new map.
  void setMapping(std::vector<unsigned char> map) {
    unsigned char current[32];
    const int count = XGetPointerMapping(window_->dpy(), current, sizeof(current));
    for (int i = int(map.size()); i < count; ++i)
      map.push_back((unsigned char)(i + 1));
    map.resize(count);
    ASSERT_EQ(XSetPointerMapping(window_->dpy(), map.data(), count), MappingSuccess);
    XSync(window_->dpy(), False);
    ASSERT_TRUE(window_->waitFor(
      [&] { return tx::pointerMapping()[0] == map[0] && tx::pointerMapping()[2] == map[2]; }));
  }

  // An event at window coordinates x, y.
  void event(int x, int y, uint32_t mask, bool relative = false) {
    pointer_->pointerEvent(relative ? rfb::Point(x, y) : rfb::Point(windowX + x, windowY + y),
                           mask, relative);
  }
  void click(uint32_t mask) {
    event(5, 5, mask);
    event(5, 5, 0);
  }

  std::unique_ptr<RecordingWindow> window_;
  std::unique_ptr<svr::SPointerX11> pointer_;
};

TEST_F(PointerTest, MotionButtonsAndWheelArriveWhereThePointerIs) {
  event(40, 30, 0);
  event(40, 30, 0); // the same place: no motion
  event(-9, 5, 0, true);
  EXPECT_EQ(pointer_->position(), rfb::Point(windowX + 31, windowY + 35));
  event(20, 10, 0);
  event(20, 10, 1 << 0);
  event(60, 15, 1 << 0); // a drag
  event(60, 15, 0);
  event(60, 15, 1 << 0 | 1 << 2); // two buttons at once, released one by one
  event(60, 15, 1 << 2);
  event(60, 15, 0);
  for (uint32_t bit : {3u, 4u, 8u}) { // wheel up, wheel down, button 9 (none)
    event(60, 15, 1u << bit);
    event(60, 15, 0);
  }
  window_->expectSeen({{M, 0, 40, 30}, {M, 0, 31, 35}, {M, 0, 20, 10}, {P, 1, 20, 10},
                       {M, 0, 60, 15}, {R, 1, 60, 15}, {P, 1, 60, 15}, {P, 3, 60, 15},
                       {R, 1, 60, 15}, {R, 3, 60, 15}, {P, 4, 60, 15}, {R, 4, 60, 15},
                       {P, 5, 60, 15}, {R, 5, 60, 15}});
  EXPECT_EQ(pointer_->buttonMask(), 0u);
  // Xvfb's pointer has more than eight buttons; the toolkit keeps eight.
  EXPECT_EQ(tx::pointerMappingCount(), 8);
}

TEST_F(PointerTest, FirstAbsoluteMotionIsInjectedWhereverThePointerWas) {
  // Pins: with the stored position starting at (0, 0), a first event to
  // (0, 0) was taken for no motion and the pointer stayed where it was.
  warp(300, 300);
  svr::SPointerX11 fresh(tx::display());
  EXPECT_EQ(fresh.position(), rfb::Point(300, 300));
  fresh.pointerEvent(rfb::Point(0, 0), 0, false);
  EXPECT_TRUE(window_->waitFor([] {
    return svrtest::pointerOf(tx::display()) == std::make_pair(0, 0);
  }));
}

TEST_F(PointerTest, TheApplicationGetsTheButtonsTheViewerPressedWhateverTheMap) {
  event(5, 5, 0);
  window_->expectSeen({{M, 0, 5, 5}});
  ASSERT_NO_FATAL_FAILURE(setMapping({3, 2, 1}));
  for (uint32_t bit : {0u, 1u, 2u})
    click(1u << bit);
  window_->expectSeen(
    {{P, 1, 5, 5}, {R, 1, 5, 5}, {P, 2, 5, 5}, {R, 2, 5, 5}, {P, 3, 5, 5}, {R, 3, 5, 5}});
  // Physical button 2 gives nothing: it is skipped; physical 3 gives 2.
  ASSERT_NO_FATAL_FAILURE(setMapping({1, 0, 2}));
  click(1u << 1);
  click(1u << 0);
  window_->expectSeen({{P, 2, 5, 5}, {R, 2, 5, 5}, {P, 1, 5, 5}, {R, 1, 5, 5}});
}

} // namespace
