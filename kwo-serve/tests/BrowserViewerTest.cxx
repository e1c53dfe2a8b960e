// kwo-serve with a browser viewer: noVNC's own page in headless Chromium
// connects over WebSocket, and its canvas must show exactly what the X
// screen holds.

#include "BrowserViewer.h"

// GoogleTest before Xlib: Xlib's macros (None, Bool) break its templates.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace kwoserve::test {

namespace {

// Captures the canvas until it equals the X screen, pixel for pixel: the
// first updates (or a new size) may still be on their way. "" on success,
// else how the last capture differed.
std::string waitForScreen(BrowserViewer& browser, const PatternDisplay& display) {
  std::string difference;
  auto end = std::chrono::steady_clock::now() + deadline;
  do {
    std::optional<Picture> canvas = browser.capture();
    if (!canvas)
      return "no canvas; " + browser.log();
    difference = pictureDifference(*canvas, display.picture());
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
TEST_F(BrowserViewerTest, NoVncFromAnotherSiteOnTheWebSocketPortShowsTheScreenAndFollowsIt) {
  int wsPort = freePort();
  int pagePort = freePort();
  ServeRun serve(display.name(), {"-wsport", std::to_string(wsPort), "-wsorigin",
                                  "http://127.0.0.1:" + std::to_string(pagePort)});
  ASSERT_TRUE(serve.waitLog("Listening for WebSocket viewers")) << serve.log();
  BrowserViewer browser("http://127.0.0.1:" + std::to_string(pagePort) +
                            "/vnc.html?host=127.0.0.1&port=" + std::to_string(wsPort) +
                            "&autoconnect=1",
                        {.servePort = pagePort});
  ASSERT_TRUE(browser.waitConnected()) << browser.log() << serve.log();
  EXPECT_EQ(waitForScreen(browser, display), "") << serve.log();

  display.fill({10, 200, 30});
  EXPECT_EQ(waitForScreen(browser, display), "") << serve.log();
}

// The way a person uses it: the URL kwo-serve prints opens noVNC from its
// own HTTP port, logs in with the password and connects at once; noVNC asks
// for its window's size (remote resizing) and the desktop takes it.
TEST_F(BrowserViewerTest, ThePrintedUrlConnectsResizesTheDesktopToTheWindowAndTakesClicksAndKeys) {
  ServeRun serve(display.name(), {}, ServeRun::Password::generated);
  std::string url = serve.banner("browser");
  ASSERT_NE(url, "") << serve.log();
  BrowserViewer browser(url, {.viewport = "800x600"});
  ASSERT_TRUE(browser.waitConnected()) << browser.log() << serve.log();
  ASSERT_EQ(waitForScreen(browser, display), "") << serve.log();
  Picture screen = display.picture();
  EXPECT_EQ(screen.width, 800);
  EXPECT_EQ(screen.height, 600);

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
