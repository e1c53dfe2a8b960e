#include "libs/svr/tests/RandrTestSupport.h"

#include "libs/agentmsg/ToAgentMsgs.h"
#include "libs/svr/AgentDisplayMode.h"
#include "libs/svr/DisplayMode.h"
#include "libs/svr/MonitorLayout.h"
#include "libs/svr/RandrSupport.h"

#include "testsupport/LogRecorder.h"
#include "base/plat/ConfigParameter.h"
#include "base/plat/Configuration.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace {

using svr::DisplayMode;
using testing::Contains;
using testing::Not;
using svr::test::Bytes;

Bytes setDisplayModeMsg(uint32_t width, uint32_t height) {
  return svr::test::wire(agentmsg::SetDisplayMode{width, height});
}

void setRandR(const char* value) {
  ASSERT_TRUE(plat::Configuration::global().setParam("RandR", value, 10));
}

// Counts what the capture engine would be told.
struct DisplayChanges : svr::DisplayChangeCallback {
  void displayChanged() override { count++; }
  int count = 0;
};

// The rectangles of the CRTCs that drive outputs, in resource order.
std::vector<rfb::Rect> monitorRects() {
  std::vector<rfb::Rect> rects;
  for (const svr::MonitorInfo& monitor : svr::MonitorLayout::listMonitors())
    rects.push_back(monitor.rect);
  return rects;
}

// ---- Timings and texts, no X ----

// Computed in int, (W+6)(H+6)60 overflowed for large sizes (undefined, and in
// practice a wrapped clock sent as if valid); now sizes whose clock or
// totals do not fit the protocol's 32- and 16-bit fields are refused.
TEST(DisplayModeTimings, SixPixelBlankingAtSixtyHertzOrRefused) {
  const std::pair<int, int> sizes[] = {
    {1, 1},     {1920, 1080}, {65529, 1},  {1, 65529},  {8454, 8454}, // the largest square
    {0, 768},   {1024, 0},    {-1, 768},   {1024, -5},  {65530, 1},
    {1, 65530}, {8455, 8455}, {20000, 20000}, {INT32_MAX, INT32_MAX}};
  for (auto [width, height] : sizes) {
    SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
    std::optional<DisplayMode::Timings> t = DisplayMode::timingsFor(width, height);
    const uint64_t w = uint64_t(width), h = uint64_t(height);
    const bool fits = width > 0 && height > 0 && w + 6 <= 65535 && h + 6 <= 65535 &&
                      (w + 6) * (h + 6) * 60 <= UINT32_MAX;
    ASSERT_EQ(t.has_value(), fits);
    if (!t)
      continue;
    EXPECT_EQ(std::vector<uint64_t>({w, w + 2, w + 4, w + 6, h, h + 2, h + 4, h + 6}),
              std::vector<uint64_t>({t->width, t->hSyncStart, t->hSyncEnd, t->hTotal, t->height,
                                     t->vSyncStart, t->vSyncEnd, t->vTotal}));
    EXPECT_EQ((w + 6) * (h + 6) * 60, t->dotClock);
  }
}

TEST(DisplayModeTexts, ParsesSizesAndWantedModes) {
  const std::pair<const char*, std::optional<DisplayMode::Size>> sizes[] = {
    {"1024x768", DisplayMode::Size{1024, 768}}, {"-5x10", DisplayMode::Size{-5, 10}},
    {"+7x+8", DisplayMode::Size{7, 8}},         {"2147483647x1", DisplayMode::Size{INT32_MAX, 1}},
    {"2147483648x1", std::nullopt},             {"1024X768", std::nullopt},
    {"1024x", std::nullopt},                    {"1024x768 ", std::nullopt},
    {"10 x 10", std::nullopt}};
  for (const auto& [text, want] : sizes) {
    SCOPED_TRACE(text);
    std::optional<DisplayMode::Size> size = DisplayMode::parseSize(text);
    ASSERT_EQ(want.has_value(), size.has_value());
    if (size) {
      EXPECT_EQ(want->width, size->width);
      EXPECT_EQ(want->height, size->height);
    }
  }
  struct Case {
    const char* randr;
    std::optional<DisplayMode::Size> extra;
    std::vector<std::string> want;
  };
  const Case cases[] = {
    {"1024x768,foo,1280x1024", std::nullopt, {"1024x768_kwo", "1280x1024_kwo"}},
    {",,", std::nullopt, {}},
    {" 800x600 , 640x480,800x600", std::nullopt, {"640x480_kwo", "800x600_kwo"}},
    {"", DisplayMode::Size{1234, 567}, {"1234x567_kwo"}},
    {"1234x567", DisplayMode::Size{1234, 567}, {"1234x567_kwo"}},
    {"1024x768", DisplayMode::Size{0, 768}, {"1024x768_kwo"}},
    {"+1x1", std::nullopt, {"+1x1_kwo"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.randr);
    std::vector<std::string> names;
    for (const auto& [name, exists] : DisplayMode::wantedModes(c.randr, c.extra)) {
      names.push_back(name);
      EXPECT_FALSE(exists);
    }
    EXPECT_EQ(c.want, names);
  }
  for (auto [major, minor, usable] : {std::tuple{1, 1, false}, {1, 2, true}, {2, 0, true}, {0, 9, false}})
    EXPECT_EQ(svr::RandrSupport::versionUsable(major, minor), usable) << major << "." << minor;
}

// ---- Against a real X server ----

class DisplayModeX11 : public ::testing::Test {
protected:
  void SetUp() override {
    if (!svrtest::openXorgDisplay({}))
      GTEST_SKIP() << svrtest::needsOwnProcess;
  }
  // Puts "RandR" back without telling anybody.
  void TearDown() override { plat::Configuration::global().findParam("RandR")->reset(false); }

  testsupport::LogRecorder log{"*", 110};
  DisplayChanges display;
};

// Used to leave the CRTC without a mode: the screen refused the size, the
// errors were absorbed, and later requests could fail until someone ran
// xrandr by hand.
TEST_F(DisplayModeX11, ASizeTheScreenCannotTakeLeavesTheLayoutAsItWas) {
  svrtest::ChannelPeer server;
  svr::AgentDisplayMode agent(server.channel, display);
  const svrtest::ScreenSize before = svrtest::currentScreenSize();
  const std::vector<rfb::Rect> monitors = monitorRects();
  log.clear();
  // Beyond the largest screen RandR allows (32767), yet a mode can be made.
  server.send(setDisplayModeMsg(40000, 100));
  EXPECT_NE(0ul, svrtest::modeNamed("40000x100_kwo").id);
  EXPECT_EQ(monitors, monitorRects());
  EXPECT_EQ(before.width, svrtest::currentScreenSize().width);
  bool reported = false;
  for (const testsupport::LogRecorder::Line& line : log.lines())
    reported = reported || (line.level == 0 && line.text == "Unable to set display mode");
  EXPECT_TRUE(reported);
  // The server hears of the size the screen kept.
  EXPECT_EQ(1, display.count);

  // An existing mode of any name is used and nothing is created.
  const std::vector<std::string> names = svrtest::modeNames();
  EXPECT_TRUE(agent.displayMode().setDisplayMode(800, 600));
  EXPECT_EQ(std::make_pair(800u, 600u), svrtest::crtcSize(0));
  EXPECT_EQ(names, svrtest::modeNames());
  EXPECT_EQ(211, svrtest::currentScreenSize().mmWidth); // 800 * 25.4 / 96 = 211.67
}

// Used to survive their agent for good.
TEST_F(DisplayModeX11, StaleModesGoAtStartAndModesInUseOnlyOnceNoLongerShown) {
  {
    DisplayMode earlier(nullptr);
    setRandR("1111x222");
  }
  ASSERT_THAT(svrtest::modeNames(), Contains("1111x222_kwo"));
  // Changed behind the back of any component, as a new agent finds it.
  plat::Configuration::global().findParam("RandR")->reset(false);
  setRandR("1280x1024,20000x20000");
  DisplayMode modes(nullptr);
  EXPECT_THAT(svrtest::modeNames(), Not(Contains("1111x222_kwo")));
  EXPECT_THAT(svrtest::modeNames(), Contains("1280x1024_kwo"));
  // Its clock does not fit the protocol (see DisplayModeTimings).
  EXPECT_THAT(svrtest::modeNames(), Not(Contains("20000x20000_kwo")));

  modes.setDisplayMode(1234, 567);
  ASSERT_EQ(std::make_pair(1234u, 567u), svrtest::crtcSize(0));
  setRandR("640x480");
  EXPECT_THAT(svrtest::modeNames(), Contains("1234x567_kwo"));
  EXPECT_THAT(svrtest::modeNames(), Not(Contains("1280x1024_kwo")));
  modes.setDisplayMode(1024, 768);
  ASSERT_EQ(std::make_pair(1024u, 768u), svrtest::crtcSize(0));
  setRandR("640x480,");
  EXPECT_THAT(svrtest::modeNames(), Not(Contains("1234x567_kwo")));
  EXPECT_THAT(svrtest::modeNames(), Contains("640x480_kwo"));
}

// The second CRTC, at 1024,0, cannot show a 1024x768 mode on a screen of
// that size; it used to be left off.
TEST(DisplayModeTwoMonitors, ALayoutThatCannotTakeTheSizeIsPutBack) {
  if (!svrtest::openXorgDisplay(svrtest::twoMonitors()))
    GTEST_SKIP() << svrtest::needsOwnProcess;
  const std::vector<rfb::Rect> monitors = {rfb::Rect(0, 0, 1024, 768),
                                           rfb::Rect(1024, 0, 1824, 600)};
  ASSERT_EQ(monitors, monitorRects());
  DisplayMode modes(nullptr);
  EXPECT_FALSE(modes.setDisplayMode(1024, 768));
  EXPECT_EQ(monitors, monitorRects());
  EXPECT_EQ(1824, svrtest::currentScreenSize().width);
}

} // namespace
