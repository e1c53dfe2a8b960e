// kwo-serve with a browser viewer: noVNC in headless Chromium connects over
// WebSocket, and its canvas must show exactly what the X screen holds.

#include "BrowserViewer.h"

// GoogleTest before Xlib: Xlib's macros (None, Bool) break its templates.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace kwoserve::test {

namespace {

// Captures the canvas until it equals the X screen, pixel for pixel: the
// first updates may still be on their way. "" on success, else how the last
// capture differed.
std::string waitForScreen(BrowserViewer& browser, const PatternDisplay& display) {
  Picture screen = display.picture();
  std::string difference;
  auto end = std::chrono::steady_clock::now() + deadline;
  do {
    std::optional<Picture> canvas = browser.capture();
    if (!canvas)
      return "no canvas; " + browser.log();
    difference = pictureDifference(*canvas, screen);
    if (difference.empty())
      return {};
  } while (std::chrono::steady_clock::now() < end);
  return difference;
}

// Key presses and button presses that reached the pattern window.
struct WindowInput {
  std::string typed;
  int clicks = 0;

  void drain(Display* dpy) {
    while (XPending(dpy)) {
      XEvent ev;
      XNextEvent(dpy, &ev);
      if (ev.type == KeyPress) {
        char buffer[8];
        KeySym sym;
        int n = XLookupString(&ev.xkey, buffer, sizeof(buffer), &sym, nullptr);
        typed.append(buffer, size_t(n));
      } else if (ev.type == ButtonPress) {
        clicks++;
      }
    }
  }
};

} // namespace

class BrowserViewerTest : public testing::Test {
protected:
  void SetUp() override {
    std::string missing = BrowserViewer::missing();
    if (!missing.empty())
      GTEST_SKIP() << "no browser viewer here, missing: " << missing
                   << " (bash scripts/install-deps.sh installs it)";
  }

  PatternDisplay display;
};

// The page comes from another site, allowed with -wsorigin; the viewer
// connects to the WebSocket port.
TEST_F(BrowserViewerTest, NoVncCanvasEqualsTheXScreenAndFollowsItsChanges) {
  int wsPort = freePort();
  int pagePort = freePort();
  ServeRun serve(display.name(), {"-wsport", std::to_string(wsPort), "-wsorigin",
                                  "http://127.0.0.1:" + std::to_string(pagePort)});
  ASSERT_TRUE(serve.waitLog("Listening for WebSocket viewers")) << serve.log();
  BrowserViewer browser(wsPort, {}, pagePort);
  ASSERT_TRUE(browser.waitConnected()) << browser.log() << serve.log();
  EXPECT_EQ(waitForScreen(browser, display), "") << serve.log();

  display.fill({10, 200, 30});
  EXPECT_EQ(waitForScreen(browser, display), "") << serve.log();
}

// The way a person uses it: the page and noVNC come from kwo-serve's own
// HTTP server (-httpdir), and the viewer connects back to that port, as
// noVNC's own page does.
TEST_F(BrowserViewerTest, NoVncFromKwoServesHttpPortClicksAndTypesIntoTheXWindow) {
  int httpPort = freePort();
  ServeRun serve(display.name(), {"-httpdir", BrowserViewer::pageFolder(), "-httpport",
                                  std::to_string(httpPort)});
  ASSERT_TRUE(serve.waitListening()) << serve.log();
  ASSERT_TRUE(serve.waitLog("Listening for viewers")) << serve.log();
  BrowserViewer browser(httpPort, "http://127.0.0.1:" + std::to_string(httpPort) +
                                      "/viewer.html");
  ASSERT_TRUE(browser.waitConnected()) << browser.log() << serve.log();
  ASSERT_EQ(waitForScreen(browser, display), "") << serve.log();

  // The click also gives noVNC's canvas the keyboard focus.
  WindowInput input;
  ASSERT_TRUE(browser.click(200, 200)) << browser.log();
  EXPECT_TRUE(pollUntil([&] {
    input.drain(display.dpy());
    return input.clicks == 1;
  })) << serve.log();
  ASSERT_TRUE(browser.type("kwo")) << browser.log();
  EXPECT_TRUE(pollUntil([&] {
    input.drain(display.dpy());
    return input.typed == "kwo";
  })) << "typed '" << input.typed << "'\n" << serve.log();
}

} // namespace kwoserve::test
