// Pointer injection as an application sees it: motion, button and wheel
// events arriving in a window that does not sit at the screen's origin, in
// window coordinates, with the server's usual and a left-handed button map.

#include "libs/svr/tests/InputTestSupport.h"

#include "libs/svr/SPointerX11.h"
#include "libs/svr/XTestAvailability.h"

#include "base/plat/Configuration.h"
#include "testsupport/XvfbServer.h"
#include "uilibs/tx/TXUtil.h"

#include <memory>
#include <vector>

namespace {

// One pointer event as the window received it.
struct PointerSeen {
  int type;
  unsigned int button; // 0 for motion
  int x;
  int y;
  bool operator==(const PointerSeen&) const = default;
};

void PrintTo(const PointerSeen& e, std::ostream* os) {
  *os << (e.type == MotionNotify ? "motion" : e.type == ButtonPress ? "press " : "release ")
      << (e.button ? std::to_string(e.button) : std::string()) << " at " << e.x << "," << e.y;
}

constexpr int windowX = 100, windowY = 50;

// A window at (windowX, windowY) that records pointer events.
class RecordingWindow {
public:
  explicit RecordingWindow(const std::string& name) : dpy_(svrtest::connect(name)) {
    XSetWindowAttributes attributes;
    attributes.event_mask = PointerMotionMask | ButtonPressMask | ButtonReleaseMask |
                            StructureNotifyMask;
    attributes.override_redirect = True;
    window_ = XCreateWindow(dpy(), DefaultRootWindow(dpy()), windowX, windowY, 300, 200, 0,
                            CopyFromParent, InputOutput, CopyFromParent,
                            CWEventMask | CWOverrideRedirect, &attributes);
    XMapRaised(dpy(), window_);
    EXPECT_TRUE(waitFor([this] { return mapped_; }));
  }
  ~RecordingWindow() { XDestroyWindow(dpy(), window_); }

  Display* dpy() const { return dpy_.get(); }
  std::vector<PointerSeen>& seen() { return seen_; }

  // Collects until `done` holds or 30 s pass; the toolkit's connection is
  // pumped too so that it sees button-map changes.
  bool waitFor(const std::function<bool()>& done) {
    return txtest::runUntil(
      done,
      [this] {
        svrtest::dispatchEvents(tx::display());
        collect();
      },
      {{dpy(), tx::display()}, 20});
  }

  // Waits for the last expected event and compares everything seen.
  void expectSeen(const std::vector<PointerSeen>& expected) {
    EXPECT_TRUE(waitFor([&] { return seen_.size() >= expected.size(); }));
    EXPECT_EQ(seen_, expected);
    seen_.clear();
  }

private:
  void collect() {
    while (XPending(dpy())) {
      XEvent event;
      XNextEvent(dpy(), &event);
      if (event.type == MapNotify && event.xmap.window == window_)
        mapped_ = true;
      if (event.type == MotionNotify)
        seen_.push_back({MotionNotify, 0, event.xmotion.x, event.xmotion.y});
      if (event.type == ButtonPress || event.type == ButtonRelease)
        seen_.push_back({event.type, event.xbutton.button, event.xbutton.x, event.xbutton.y});
    }
  }

  svrtest::Connection dpy_;
  Window window_ = 0;
  bool mapped_ = false;
  std::vector<PointerSeen> seen_;
};

PointerSeen motion(int x, int y) { return {MotionNotify, 0, x, y}; }
PointerSeen press(unsigned int button, int x, int y) { return {ButtonPress, button, x, y}; }
PointerSeen release(unsigned int button, int x, int y) { return {ButtonRelease, button, x, y}; }

class PointerWindowTest : public ::testing::Test {
protected:
  void SetUp() override {
    svr::XTestAvailability::forget();
    const std::string& name = testsupport::XvfbServer::shared().displayName();
    tx::openDisplay(name.c_str());
    ASSERT_NE(tx::display(), nullptr);
    // The pointer starts outside the window so that entering it is a motion.
    XWarpPointer(tx::display(), 0, DefaultRootWindow(tx::display()), 0, 0, 0, 0, 10, 10);
    XChangePointerControl(tx::display(), True, True, 1, 1, 0);
    XSync(tx::display(), False);
    window_ = std::make_unique<RecordingWindow>(name);
    pointer_ = std::make_unique<svr::SPointerX11>(tx::display());
  }

  void TearDown() override {
    pointer_.reset();
    setMapping({1, 2, 3});
    window_.reset();
    ASSERT_TRUE(plat::Configuration::global().setParam("UsePointerMapping", "1", 10));
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

  void event(int x, int y, uint32_t mask, bool relative = false) {
    pointer_->pointerEvent(rfb::Point(x, y), mask, relative);
  }

  std::unique_ptr<RecordingWindow> window_;
  std::unique_ptr<svr::SPointerX11> pointer_;
};

TEST_F(PointerWindowTest, MotionArrivesInWindowCoordinates) {
  event(windowX + 40, windowY + 30, 0);
  window_->expectSeen({motion(40, 30)});
  event(windowX + 41, windowY + 30, 0);
  event(windowX + 41, windowY + 30, 0); // the same place: no motion
  event(windowX + 250, windowY + 180, 0);
  window_->expectSeen({motion(41, 30), motion(250, 180)});
  event(-9, 5, 0, true);
  window_->expectSeen({motion(241, 185)});
}

TEST_F(PointerWindowTest, ButtonsAndWheelArriveWhereThePointerIs) {
  event(windowX + 20, windowY + 10, 0);
  event(windowX + 20, windowY + 10, 1 << 0);
  event(windowX + 60, windowY + 15, 1 << 0); // a drag
  event(windowX + 60, windowY + 15, 0);
  event(windowX + 60, windowY + 15, 1 << 2);
  event(windowX + 60, windowY + 15, 0);
  event(windowX + 60, windowY + 15, 1 << 3); // wheel up
  event(windowX + 60, windowY + 15, 0);
  event(windowX + 60, windowY + 15, 1 << 4); // wheel down
  event(windowX + 60, windowY + 15, 0);
  window_->expectSeen({
    motion(20, 10),       press(1, 20, 10),     motion(60, 15),   release(1, 60, 15),
    press(3, 60, 15),     release(3, 60, 15),   press(4, 60, 15), release(4, 60, 15),
    press(5, 60, 15),     release(5, 60, 15),
  });
}

TEST_F(PointerWindowTest, ALeftHandedMapGivesTheApplicationTheButtonsTheViewerPressed) {
  ASSERT_NO_FATAL_FAILURE(setMapping({3, 2, 1}));
  event(windowX + 5, windowY + 5, 0);
  for (uint32_t bit : {0u, 1u, 2u, 3u, 4u}) {
    event(windowX + 5, windowY + 5, 1u << bit);
    event(windowX + 5, windowY + 5, 0);
  }
  window_->expectSeen({
    motion(5, 5),       press(1, 5, 5), release(1, 5, 5), press(2, 5, 5), release(2, 5, 5),
    press(3, 5, 5),     release(3, 5, 5), press(4, 5, 5), release(4, 5, 5), press(5, 5, 5),
    release(5, 5, 5),
  });

  // Ignoring the map, RFB button 1 presses physical button 1, which the
  // application sees as the right button.
  ASSERT_TRUE(plat::Configuration::global().setParam("UsePointerMapping", "0", 10));
  event(windowX + 5, windowY + 5, 1);
  event(windowX + 5, windowY + 5, 0);
  window_->expectSeen({press(3, 5, 5), release(3, 5, 5)});
}

} // namespace
