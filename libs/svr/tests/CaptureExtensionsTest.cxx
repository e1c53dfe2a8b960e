#include "libs/svr/tests/DesktopTestSupport.h"

#include "base/plat/LogSrc.h"
#include "libs/svr/CaptureExtensions.h"

#include "testsupport/LogRecorder.h"

#include <algorithm>
#include <regex>

namespace {

using svr::CaptureExtensions;

plat::LogSrc testLog("CaptureExtensionsTest");

bool anyMatches(const std::vector<std::string>& texts, const std::string& pattern) {
  std::regex re(pattern);
  return std::any_of(texts.begin(), texts.end(),
                     [&](const std::string& text) { return std::regex_match(text, re); });
}

TEST(CaptureExtensions, AFullServerHasEverything) {
  Display* dpy = svrtest::openSharedDisplay();
  testsupport::LogRecorder recorder("CaptureExtensionsTest");
  CaptureExtensions found = CaptureExtensions::discover(dpy, testLog, true);
  EXPECT_TRUE(found.randr);
  EXPECT_TRUE(found.xtest);
  EXPECT_TRUE(found.xfixes.present);
  EXPECT_TRUE(found.xdamage.present);
  EXPECT_GT(found.xfixes.eventBase, 0);
  EXPECT_GT(found.xdamage.eventBase, 0);
  EXPECT_NE(found.xfixes.eventBase, found.xdamage.eventBase);

  std::vector<std::string> texts = recorder.texts("CaptureExtensionsTest");
  EXPECT_TRUE(anyMatches(texts, "XTest extension present - version [0-9]+\\.[0-9]+"));
  EXPECT_TRUE(anyMatches(texts, "XFixes extension present - version [0-9]+\\.[0-9]+"));
  EXPECT_TRUE(anyMatches(texts, "XDamage extension present - version [0-9]+\\.[0-9]+"));
  EXPECT_EQ(texts.size(), 3u);
}

TEST(CaptureExtensions, WithoutXFixesThereIsNoDamageEither) {
  Display* dpy = svrtest::openSharedDisplay();
  testsupport::LogRecorder recorder("CaptureExtensionsTest");
  CaptureExtensions found = CaptureExtensions::discover(dpy, testLog, false);
  EXPECT_FALSE(found.xfixes.present);
  EXPECT_FALSE(found.xdamage.present);
  EXPECT_TRUE(found.xtest);

  std::vector<std::string> texts = recorder.texts("CaptureExtensionsTest");
  EXPECT_NE(std::find(texts.begin(), texts.end(),
                      "XFixes disabled / not present - unable to track cursor changes"),
            texts.end());
  EXPECT_NE(std::find(texts.begin(), texts.end(),
                      "XDamage disabled / not present - unable to optimize capture"),
            texts.end());
}

TEST(CaptureExtensions, WithoutADisplayNothingIsPresent) {
  testsupport::LogRecorder recorder("CaptureExtensionsTest");
  // XTEST is asked once per process: the answer stays that of the display
  // asked first, so only the per-desktop extensions are checked here.
  CaptureExtensions found = CaptureExtensions::discover(nullptr, testLog, true);
  EXPECT_FALSE(found.randr);
  EXPECT_FALSE(found.xfixes.present);
  EXPECT_FALSE(found.xdamage.present);
}

} // namespace
