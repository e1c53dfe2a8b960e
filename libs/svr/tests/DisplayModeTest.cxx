#include "libs/svr/tests/RandrTestSupport.h"

#include "libs/svr/AgentDisplayMode.h"
#include "libs/svr/DisplayMode.h"
#include "libs/svr/MonitorLayout.h"

#include "base/plat/ConfigParameter.h"
#include "base/plat/Configuration.h"

#include "testsupport/LogRecorder.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace {

using svr::DisplayMode;
using svr::test::Bytes;
using svr::test::Message;

void setRandR(const char* value) {
  ASSERT_TRUE(plat::Configuration::global().setParam("RandR", value, 10));
}

// Puts "RandR" back to its default without telling anybody.
struct RandRReset {
  ~RandRReset() { plat::Configuration::global().findParam("RandR")->reset(false); }
};

std::vector<std::string> messageNames(const std::vector<Message>& messages) {
  std::vector<std::string> names;
  for (const Message& m : messages)
    names.push_back(m.name);
  return names;
}

Bytes setDisplayModeMsg(uint32_t width, uint32_t height) {
  return svr::test::message("setDisplayMode", [=](rdr::OutStream& out) {
    out.writeU32(width);
    out.writeU32(height);
  });
}

bool logged(testsupport::LogRecorder& log, const std::string& source, const std::string& text) {
  return svrtest::contains(log.texts(source), text);
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

TEST(DisplayModeTimings, SixPixelBlankingAtSixtyHertz) {
  struct Case {
    int width, height;
  };
  const Case cases[] = {{1, 1}, {640, 480}, {1024, 768}, {1920, 1080}, {3840, 2160},
                        {65529, 1}, {1, 65529}, {8000, 8000}, {8454, 8454}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    std::optional<DisplayMode::Timings> t = DisplayMode::timingsFor(c.width, c.height);
    ASSERT_TRUE(t.has_value());
    uint64_t w = uint64_t(c.width), h = uint64_t(c.height);
    EXPECT_EQ(w, t->width);
    EXPECT_EQ(h, t->height);
    EXPECT_EQ(w + 2, t->hSyncStart);
    EXPECT_EQ(w + 4, t->hSyncEnd);
    EXPECT_EQ(w + 6, t->hTotal);
    EXPECT_EQ(h + 2, t->vSyncStart);
    EXPECT_EQ(h + 4, t->vSyncEnd);
    EXPECT_EQ(h + 6, t->vTotal);
    EXPECT_EQ((w + 6) * (h + 6) * 60, t->dotClock);
  }
}

// Computed in int, (W+6)(H+6)60 overflowed for large sizes (undefined, and in
// practice a wrapped clock sent as if valid); now sizes whose clock or
// totals do not fit the protocol's 32- and 16-bit fields are refused.
TEST(DisplayModeTimings, RefusesWhatTheProtocolCannotCarry) {
  const std::pair<int, int> refused[] = {{0, 768},      {1024, 0},     {-1, 768},
                                         {1024, -5},    {65530, 1},    {1, 65530},
                                         {20000, 20000}, {8455, 8455}, {INT32_MAX, INT32_MAX}};
  for (auto [w, h] : refused) {
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    EXPECT_FALSE(DisplayMode::timingsFor(w, h).has_value());
  }
  // The largest square whose clock still fits in 32 bits.
  ASSERT_TRUE(DisplayMode::timingsFor(8454, 8454).has_value());
  EXPECT_LE(DisplayMode::timingsFor(8454, 8454)->dotClock, uint64_t(UINT32_MAX));
  EXPECT_GT(uint64_t(8455 + 6) * (8455 + 6) * 60, uint64_t(UINT32_MAX));
}

TEST(DisplayModeTexts, ParsesSizes) {
  struct Case {
    const char* text;
    bool ok;
    int width, height;
  };
  const Case cases[] = {
    {"1024x768", true, 1024, 768},   {"-5x10", true, -5, 10},
    {"+7x+8", true, 7, 8},           {"2147483647x1", true, INT32_MAX, 1},
    {"2147483648x1", false, 0, 0},   {"1024X768", false, 0, 0},
    {"1024x", false, 0, 0},          {"x768", false, 0, 0},
    {"1024x768x2", false, 0, 0},     {"1024x768 ", false, 0, 0},
    {"foo", false, 0, 0},            {"", false, 0, 0},
    {"10 x 10", false, 0, 0},        {"0x0", true, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::optional<DisplayMode::Size> size = DisplayMode::parseSize(c.text);
    ASSERT_EQ(c.ok, size.has_value());
    if (size) {
      EXPECT_EQ(c.width, size->width);
      EXPECT_EQ(c.height, size->height);
    }
  }
}

TEST(DisplayModeTexts, WantedModesFromTheParameterAndTheExtraSize) {
  struct Case {
    const char* randr;
    std::optional<DisplayMode::Size> extra;
    std::vector<std::string> want;
  };
  const Case cases[] = {
    {"1024x768,foo,1280x1024", std::nullopt, {"1024x768_kwo", "1280x1024_kwo"}},
    {"", std::nullopt, {}},
    {",,", std::nullopt, {}},
    {"800x600,800x600", std::nullopt, {"800x600_kwo"}},
    {" 800x600 , 640x480", std::nullopt, {"640x480_kwo", "800x600_kwo"}},
    {"", DisplayMode::Size{1234, 567}, {"1234x567_kwo"}},
    {"1234x567", DisplayMode::Size{1234, 567}, {"1234x567_kwo"}},
    {"1024x768", DisplayMode::Size{0, 768}, {"1024x768_kwo"}},
    {"+1x1", std::nullopt, {"+1x1_kwo"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.randr);
    std::map<std::string, bool> wanted = DisplayMode::wantedModes(c.randr, c.extra);
    std::vector<std::string> names;
    for (const auto& [name, exists] : wanted) {
      names.push_back(name);
      EXPECT_FALSE(exists);
    }
    EXPECT_EQ(c.want, names);
  }
}

// ---- Against a real X server ----

class DisplayModeX11 : public ::testing::Test {
protected:
  void SetUp() override {
    if (!svrtest::openXorgDisplay({}))
      GTEST_SKIP() << svrtest::needsOwnProcess;
  }

  RandRReset resetRandR;
  testsupport::LogRecorder log{"*", 110};
  DisplayChanges display;
};

TEST_F(DisplayModeX11, ReportsSupportAtConstruction) {
  svrtest::ChannelPeer server;
  svr::AgentDisplayMode agent(server.channel, display);
  std::vector<Message> sent = server.received();
  ASSERT_EQ(1u, sent.size());
  EXPECT_EQ("displayModesSupported", sent[0].name);
  EXPECT_EQ(Bytes{1}, sent[0].payload);
  EXPECT_TRUE(agent.displayMode().isSupported());
  EXPECT_TRUE(logged(log, "Randr", "XRandr extension present - version 1.6"));
}

TEST_F(DisplayModeX11, ModesFollowTheParameterAndTheUpdateIsSentOnce) {
  svrtest::ChannelPeer server;
  svr::AgentDisplayMode agent(server.channel, display);
  server.received();
  const std::vector<std::string> before = svrtest::modeNames();

  setRandR("1024x768,foo,1280x1024");
  std::vector<std::string> names = svrtest::modeNames();
  EXPECT_TRUE(svrtest::contains(names, "1024x768_kwo"));
  EXPECT_TRUE(svrtest::contains(names, "1280x1024_kwo"));
  EXPECT_FALSE(svrtest::contains(names, "foo_kwo"));
  EXPECT_EQ(before.size() + 2, names.size());
  // Every output offers the new modes, connected or not.
  for (const std::vector<std::string>& modes : svrtest::outputModeNames()) {
    EXPECT_TRUE(svrtest::contains(modes, "1024x768_kwo"));
    EXPECT_TRUE(svrtest::contains(modes, "1280x1024_kwo"));
  }
  XRRModeInfo mode = svrtest::modeNamed("1280x1024_kwo");
  EXPECT_EQ(1280u, mode.width);
  EXPECT_EQ(1024u, mode.height);
  EXPECT_EQ(1282u, mode.hSyncStart);
  EXPECT_EQ(1284u, mode.hSyncEnd);
  EXPECT_EQ(1286u, mode.hTotal);
  EXPECT_EQ(1026u, mode.vSyncStart);
  EXPECT_EQ(1028u, mode.vSyncEnd);
  EXPECT_EQ(1030u, mode.vTotal);
  EXPECT_EQ(1286ul * 1030 * 60, mode.dotClock);
  EXPECT_EQ(0ul, mode.modeFlags);
  EXPECT_TRUE(logged(log, "DisplayMode", "Added mode 1280x1024_kwo to 16 outputs"));
  EXPECT_EQ(std::vector<std::string>{"displayModesUpdated"}, messageNames(server.received()));

  // The entry that went away is deleted; modes not ending in "_kwo" stay.
  setRandR("1280x1024");
  names = svrtest::modeNames();
  EXPECT_FALSE(svrtest::contains(names, "1024x768_kwo"));
  EXPECT_TRUE(svrtest::contains(names, "1280x1024_kwo"));
  for (const std::string& name : before)
    EXPECT_TRUE(svrtest::contains(names, name)) << name;
  EXPECT_TRUE(logged(log, "DisplayMode", "Deleted mode 1024x768_kwo from 16 outputs"));
  EXPECT_TRUE(server.received().empty());
  EXPECT_TRUE(agent.updateSent());

  setRandR("");
  EXPECT_EQ(before, svrtest::modeNames());
  EXPECT_TRUE(server.received().empty());
}

TEST_F(DisplayModeX11, SetDisplayModeCreatesTheSizeAndResizesAt96Dpi) {
  svrtest::ChannelPeer server;
  svr::AgentDisplayMode agent(server.channel, display);
  server.received();

  server.send(setDisplayModeMsg(1234, 567));
  EXPECT_NE(0ul, svrtest::modeNamed("1234x567_kwo").id);
  svrtest::ScreenSize size = svrtest::currentScreenSize();
  EXPECT_EQ(1234, size.width);
  EXPECT_EQ(567, size.height);
  EXPECT_EQ(326, size.mmWidth);   // 1234 * 25.4 / 96 = 326.49
  EXPECT_EQ(150, size.mmHeight);  // 567 * 25.4 / 96 = 150.02
  EXPECT_EQ(std::make_pair(1234u, 567u), svrtest::crtcSize(0));
  EXPECT_TRUE(logged(log, "DisplayMode", "Setting display mode to 1234x567"));
  // A resize is not a change of the "RandR" parameter.
  EXPECT_TRUE(server.received().empty());
  EXPECT_EQ(0, server.closed);
  EXPECT_EQ(1, display.count);
}

TEST_F(DisplayModeX11, AnExistingModeOfAnyNameIsUsedAndNothingIsCreated) {
  DisplayMode modes(nullptr);
  const std::vector<std::string> before = svrtest::modeNames();
  ASSERT_TRUE(svrtest::contains(before, "800x600"));
  modes.setDisplayMode(800, 600);
  EXPECT_EQ(before, svrtest::modeNames());
  svrtest::ScreenSize size = svrtest::currentScreenSize();
  EXPECT_EQ(800, size.width);
  EXPECT_EQ(600, size.height);
  EXPECT_EQ(211, size.mmWidth);  // 800 * 25.4 / 96 = 211.67, truncated
  EXPECT_EQ(158, size.mmHeight);
  EXPECT_EQ(std::make_pair(800u, 600u), svrtest::crtcSize(0));
}

TEST_F(DisplayModeX11, AModeInUseSurvivesUntilItIsNoLongerShown) {
  DisplayMode modes(nullptr);
  modes.setDisplayMode(1234, 567);
  ASSERT_EQ(std::make_pair(1234u, 567u), svrtest::crtcSize(0));

  setRandR("640x480");
  EXPECT_TRUE(svrtest::contains(svrtest::modeNames(), "1234x567_kwo"));
  EXPECT_TRUE(svrtest::contains(svrtest::modeNames(), "640x480_kwo"));

  modes.setDisplayMode(1024, 768);
  ASSERT_EQ(std::make_pair(1024u, 768u), svrtest::crtcSize(0));
  EXPECT_FALSE(svrtest::contains(svrtest::modeNames(), "1024x768_kwo"));

  setRandR("640x480,");
  EXPECT_FALSE(svrtest::contains(svrtest::modeNames(), "1234x567_kwo"));
  EXPECT_TRUE(svrtest::contains(svrtest::modeNames(), "640x480_kwo"));
}

TEST_F(DisplayModeX11, SizesThatAreNotPositiveDoNothing) {
  svrtest::ChannelPeer server;
  svr::AgentDisplayMode agent(server.channel, display);
  const svrtest::ScreenSize before = svrtest::currentScreenSize();
  const std::vector<std::string> modes = svrtest::modeNames();
  const std::pair<uint32_t, uint32_t> sizes[] = {
    {0, 768}, {1024, 0}, {0, 0}, {0xffffffff, 768}, {1024, 0x80000000}};
  for (auto [w, h] : sizes) {
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    server.send(setDisplayModeMsg(w, h));
  }
  svrtest::ScreenSize after = svrtest::currentScreenSize();
  EXPECT_EQ(before.width, after.width);
  EXPECT_EQ(before.height, after.height);
  EXPECT_EQ(modes, svrtest::modeNames());
  for (const std::string& text : log.texts("DisplayMode"))
    EXPECT_EQ(std::string::npos, text.find("Setting display mode")) << text;
  EXPECT_EQ(0, server.closed);
  EXPECT_EQ(0, display.count);
}

TEST_F(DisplayModeX11, ARequestCutShortIsReadAgainWhenTheRestArrives) {
  svrtest::ChannelPeer server;
  svr::AgentDisplayMode agent(server.channel, display);
  Bytes whole = setDisplayModeMsg(1152, 864);
  // The body ends with the height; send all but its last two bytes.
  server.send(Bytes(whole.begin(), whole.end() - 2));
  EXPECT_NE(1152, svrtest::currentScreenSize().width);
  server.send(Bytes(whole.end() - 2, whole.end()));
  svrtest::ScreenSize size = svrtest::currentScreenSize();
  EXPECT_EQ(1152, size.width);
  EXPECT_EQ(864, size.height);
}

// The dot clock used to be computed in int: 8000x8000 overflowed it
// (undefined behaviour) and 20000x20000 sent a wrapped clock of 2539565080
// as if it were right.
TEST_F(DisplayModeX11, LargeSizesGetTheirExactClockOrAreRefused) {
  DisplayMode modes(nullptr);
  setRandR("8000x8000,20000x20000,70000x10");
  XRRModeInfo large = svrtest::modeNamed("8000x8000_kwo");
  ASSERT_NE(0ul, large.id);
  EXPECT_EQ(uint64_t(8006) * 8006 * 60, uint64_t(large.dotClock));
  EXPECT_EQ(8006u, large.hTotal);
  EXPECT_FALSE(svrtest::contains(svrtest::modeNames(), "20000x20000_kwo"));
  EXPECT_FALSE(svrtest::contains(svrtest::modeNames(), "70000x10_kwo"));
  EXPECT_TRUE(logged(log, "DisplayMode",
                     "Cannot add mode 20000x20000_kwo: its size does not fit RandR's mode "
                     "timings"));

  const svrtest::ScreenSize before = svrtest::currentScreenSize();
  modes.setDisplayMode(20000, 20000);
  EXPECT_TRUE(logged(log, "DisplayMode", "Unable to set display mode to 20000x20000"));
  svrtest::ScreenSize after = svrtest::currentScreenSize();
  EXPECT_EQ(before.width, after.width);
  EXPECT_EQ(before.height, after.height);
}

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
  const svrtest::ScreenSize after = svrtest::currentScreenSize();
  EXPECT_EQ(before.width, after.width);
  EXPECT_EQ(before.height, after.height);
  bool reported = false;
  for (const testsupport::LogRecorder::Line& line : log.lines())
    reported = reported || (line.level == 0 && line.text == "Unable to set display mode");
  EXPECT_TRUE(reported);
  // The server hears of the size the screen kept.
  EXPECT_EQ(1, display.count);

  EXPECT_TRUE(agent.displayMode().setDisplayMode(800, 600));
  EXPECT_EQ(std::make_pair(800u, 600u), svrtest::crtcSize(0));
}

// Used to survive their agent for good.
TEST_F(DisplayModeX11, StaleModesAreDeletedAndWantedOnesMadeAtStart) {
  {
    DisplayMode earlier(nullptr);
    setRandR("1111x222");
  }
  ASSERT_TRUE(svrtest::contains(svrtest::modeNames(), "1111x222_kwo"));
  // Changed behind the back of any component, as a new agent finds it.
  plat::Configuration::global().findParam("RandR")->reset(false);
  ASSERT_TRUE(plat::Configuration::global().setParam("RandR", "1280x1024", 10));
  DisplayMode modes(nullptr);
  EXPECT_FALSE(svrtest::contains(svrtest::modeNames(), "1111x222_kwo"));
  EXPECT_TRUE(svrtest::contains(svrtest::modeNames(), "1280x1024_kwo"));
}

class DisplayModeTwoMonitors : public ::testing::Test {
protected:
  void SetUp() override {
    if (!svrtest::openXorgDisplay(svrtest::twoMonitors()))
      GTEST_SKIP() << svrtest::needsOwnProcess;
  }
};

// The second CRTC, at 1024,0, cannot show a 1024x768 mode on a screen of
// that size; it used to be left off.
TEST_F(DisplayModeTwoMonitors, ALayoutThatCannotTakeTheSizeIsPutBack) {
  const std::vector<rfb::Rect> monitors = {rfb::Rect(0, 0, 1024, 768),
                                           rfb::Rect(1024, 0, 1824, 600)};
  ASSERT_EQ(monitors, monitorRects());
  DisplayMode modes(nullptr);
  EXPECT_FALSE(modes.setDisplayMode(1024, 768));
  EXPECT_EQ(monitors, monitorRects());
  const svrtest::ScreenSize size = svrtest::currentScreenSize();
  EXPECT_EQ(1824, size.width);
  EXPECT_EQ(768, size.height);
}

// ---- Without RandR ----

TEST(DisplayModeWithoutRandr, IsInertAndSaysSo) {
  if (!svrtest::openDisplayWithoutRandr())
    GTEST_SKIP() << svrtest::needsOwnProcess;
  testsupport::LogRecorder log("*", 110);
  RandRReset resetRandR;
  DisplayChanges display;
  svrtest::ChannelPeer server;
  svr::AgentDisplayMode agent(server.channel, display);
  std::vector<Message> sent = server.received();
  ASSERT_EQ(1u, sent.size());
  EXPECT_EQ("displayModesSupported", sent[0].name);
  EXPECT_EQ(Bytes{0}, sent[0].payload);
  EXPECT_TRUE(logged(log, "Randr", "XRandr disabled / not present - display mode setting disabled"));

  // No X request is made (one would fail without the extension) and the
  // mode list cannot change, so the server is told nothing.
  setRandR("1024x768");
  EXPECT_TRUE(server.received().empty());
  EXPECT_FALSE(agent.updateSent());
  const svrtest::ScreenSize before = svrtest::currentScreenSize();
  server.send(setDisplayModeMsg(800, 600));
  svrtest::ScreenSize after = svrtest::currentScreenSize();
  EXPECT_EQ(before.width, after.width);
  EXPECT_EQ(before.height, after.height);
  EXPECT_EQ(0, server.closed);
}

} // namespace
