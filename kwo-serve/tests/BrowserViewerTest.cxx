// kwo-serve with a browser viewer: noVNC's own page in headless Chromium
// connects over WebSocket, and its canvas must show exactly what the X
// screen holds.

#include "BrowserViewer.h"

#include <gtest/gtest.h>

namespace kwoserve::test {

// The way a person uses it: the URL kwo-serve prints opens noVNC from its
// own HTTP port, logs in with the password and connects at once; noVNC asks
// for its window's size (remote resizing) and the desktop takes it.
TEST(BrowserViewerTest, ThePrintedUrlConnectsResizesTheDesktopToTheWindowAndTakesClicksAndKeys) {
  if (std::string missing = BrowserViewer::missing(); !missing.empty())
    GTEST_SKIP() << "no browser viewer here, missing: " << missing
                 << " (bash scripts/install-deps.sh installs it)";
  PatternDisplay display;
  ServeRun serve(display.name(), {}, ServeRun::Password::generated);
  std::string url = serve.banner("browser");
  ASSERT_NE(url, "") << serve.log();
  BrowserViewer browser(url, "800x600");
  ASSERT_TRUE(browser.waitConnected()) << browser.log() << serve.log();
  // The first updates (or the new size) may still be on their way.
  rfb::Rect differing;
  EXPECT_TRUE(pollUntil([&] {
    std::optional<Picture> canvas = browser.capture();
    differing = canvas ? differingArea(*canvas, display.picture()) : rfb::Rect(0, 0, 1, 1);
    return differing.isEmpty();
  })) << differing.print() << browser.log() << serve.log();
  Picture screen = display.picture();
  EXPECT_EQ(screen.width, 800);
  EXPECT_EQ(screen.height, 600);

  // The click also gives noVNC's canvas the keyboard focus.
  PatternDisplay::Input input;
  ASSERT_TRUE(browser.click(200, 200)) << browser.log();
  ASSERT_TRUE(browser.type("kwo")) << browser.log();
  EXPECT_TRUE(pollUntil([&] {
    display.readInput(input);
    return input.clicks == 1 && input.typed == "kwo";
  })) << "typed '" << input.typed << "'\n" << serve.log();
}

} // namespace kwoserve::test
