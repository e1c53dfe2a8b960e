#include "kwo-serve/ServeBanner.h"

#include <gtest/gtest.h>

namespace kwoserve {

// The browser URL is what a person opens: noVNC's page, connecting at once,
// resizing the desktop to the window, and logged in by the password.
TEST(ServeBanner, TheBrowserUrlConnectsAtOnceOnLoopbackWithThePasswordEncoded) {
  ServeBanner banner;
  banner.listenAddress = "0.0.0.0";
  banner.httpPort = 5800;
  banner.noVncPage = true;
  banner.password = "pa ss/1";
  std::string text = banner.text();
  EXPECT_NE(text.find("\n  browser:     http://127.0.0.1:5800/vnc.html#autoconnect=1&resize=remote"
                      "&password=pa%20ss%2F1\n"),
            std::string::npos)
      << text;
}

} // namespace kwoserve
