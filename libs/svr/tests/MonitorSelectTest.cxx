#include "libs/svr/tests/RandrTestSupport.h"

#include "libs/svr/AgentMonitorSelect.h"
#include "libs/svr/MonitorLayout.h"
#include "libs/svr/MonitorSelect.h"
#include "libs/agentmsg/FromAgentMsgs.h"
#include "libs/agentmsg/ToAgentMsgs.h"

#include "base/plat/ConfigParameter.h"
#include "base/plat/Configuration.h"
#include "base/plat/Exception.h"

#include "testsupport/LogRecorder.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace {

using svr::MonitorInfo;
using svr::MonitorLayout;
using svr::MonitorSelect;
using svr::test::Message;

const rfb::Rect firstMonitor(0, 0, 1024, 768);
const rfb::Rect secondMonitor(1024, 0, 1824, 600);
const rfb::Rect wholeScreen(0, 0, 1824, 768);

void setMonitorParam(const char* value) {
  ASSERT_TRUE(plat::Configuration::global().setParam("Monitor", value, 10));
}

struct MonitorParamReset {
  ~MonitorParamReset() { plat::Configuration::global().findParam("Monitor")->reset(false); }
};

class RecordingSelection : public svr::MonitorSelectCallback {
public:
  void setMonitor(const std::optional<std::string>& spec) override { specs.push_back(spec); }
  std::vector<std::optional<std::string>> specs;
};

// ---- Texts and the wire, no X ----

TEST(MonitorRectText, BothFormsAndNothingElse) {
  struct Case {
    const char* text;
    std::optional<rfb::Rect> want;
  };
  const Case cases[] = {
    {"0,0 to 800,600", rfb::Rect(0, 0, 800, 600)},
    {"1920x1080 at 1920,0", rfb::Rect(1920, 0, 3840, 1080)},
    {"-10,-20 to 30,40", rfb::Rect(-10, -20, 30, 40)},
    {" 5,6 to 7,8", rfb::Rect(5, 6, 7, 8)},
    {"+5,6 to 7,+8", rfb::Rect(5, 6, 7, 8)},
    {"+-5,6 to 7,8", std::nullopt},
    {"2147483647,0 to 2147483647,1", rfb::Rect(INT32_MAX, 0, INT32_MAX, 1)},
    {"1,2 to 3", std::nullopt},
    {"1,2 to 3,4 ", std::nullopt},
    {"1 x 2 at 3,4", std::nullopt},
    {"1x 2 at 3, 4", rfb::Rect(3, 4, 4, 6)},
    {"1920x1080", std::nullopt},
    {"2147483647x10 at 1,0", std::nullopt},
    {"2147483648,0 to 1,1", std::nullopt},
    {"", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.want, MonitorLayout::parseRect(c.text));
  }
  // It reads back what the rectangle's prints write.
  const rfb::Rect r(-5, 7, 100, 200);
  EXPECT_EQ(r, MonitorLayout::parseRect(r.print()));
  EXPECT_EQ(r, MonitorLayout::parseRect(r.printWH()));
}

// The count is one byte, but all records used to be written: with more than
// 255 monitors the server read the specs from inside a record. Now the list
// is cut to the count; texts are cut to 255 bytes.
TEST(AgentMonitorSelectWire, CountAndRecordsAgreeBeyond255MonitorsAndTextsAreCut) {
  svrtest::ChannelPeer server;
  RecordingSelection engine;
  svr::AgentMonitorSelect agent(server.channel, engine);
  std::vector<MonitorInfo> many(300);
  for (size_t i = 0; i < many.size(); i++) {
    many[i].name = std::to_string(i + 1);
    many[i].rect = rfb::Rect::fromXYWH(int(i) * 10, 0, 10, 10);
    many[i].depth = 24;
  }
  many[0].primary = true;
  many[0].name = std::string(300, 'n');
  many[0].label = std::string(400, 'l');
  agent.monitorsUpdated(many, std::string(256, 'p'), "7");

  std::vector<Message> sent = server.received();
  ASSERT_EQ(1u, sent.size());
  agentmsg::MonitorsUpdated got = svr::test::decode<agentmsg::MonitorsUpdated>(sent[0]);
  ASSERT_EQ(255u, got.monitors.size());
  EXPECT_TRUE(got.monitors[0].primary);
  EXPECT_EQ(std::string(255, 'n'), got.monitors[0].name);
  EXPECT_EQ(std::string(255, 'l'), got.monitors[0].label);
  EXPECT_EQ(many[254], got.monitors[254]);
  EXPECT_EQ(std::string(255, 'p'), got.parameterSpec);
  EXPECT_EQ("7", got.effectiveSpec);
}

// ---- Against an X server with two monitors ----

class MonitorsX11 : public ::testing::Test {
protected:
  void SetUp() override {
    if (!svrtest::openXorgDisplay(svrtest::twoMonitors()))
      GTEST_SKIP() << svrtest::needsOwnProcess;
  }

  MonitorParamReset resetParam;
  testsupport::LogRecorder log{"*", 110};
};

TEST_F(MonitorsX11, ListsLooksUpAndSelectsTheActiveCrtcs) {
  // Names, rectangles and the primary flag are checked end to end.
  std::vector<MonitorInfo> list = MonitorLayout::listMonitors();
  ASSERT_EQ(2u, list.size());
  EXPECT_EQ(24u, list[1].depth);

  // By number and by output name in any case.
  struct Case {
    std::optional<std::string> spec;
    rfb::Rect want;
    bool monitor;
  };
  const Case cases[] = {
    {"1", firstMonitor, true},       {"DUMMY0", firstMonitor, true},
    {"dummy1", secondMonitor, true}, {"01", firstMonitor, true},
    {"3", rfb::Rect(), false},       {"0", rfb::Rect(), false},
    {"DUMMY", rfb::Rect(), false},   {std::nullopt, rfb::Rect(), false},
    {"99999999999999999999999", rfb::Rect(), false},
  };
  for (const Case& c : cases) {
    const std::string spec = c.spec.value_or("<absent>");
    SCOPED_TRACE(spec);
    EXPECT_EQ(c.want, MonitorLayout::rectOf(c.spec));
    try {
      EXPECT_EQ(c.want, MonitorLayout::lookupMonitor(spec).rect);
      EXPECT_TRUE(c.monitor);
    } catch (const plat::Exception& e) {
      EXPECT_FALSE(c.monitor);
      EXPECT_EQ("Monitor named '" + spec + "' not found", std::string(e.str()));
    }
  }
  EXPECT_THAT(log.texts("SDesktopX11"),
              testing::Contains("Bad Monitor param: Monitor named '3' not found"));

  MonitorSelect select;
  EXPECT_EQ(std::nullopt, select.selection());
  select.reset();
  EXPECT_EQ(std::optional<std::string>(""), select.selection());
  // After a start, an empty "setMonitor" (absent) is a change once.
  EXPECT_TRUE(select.select(std::nullopt));
  EXPECT_FALSE(select.select(std::nullopt));
  EXPECT_TRUE(select.select("DUMMY1"));
  EXPECT_FALSE(select.select("DUMMY1"));
  EXPECT_FALSE(select.select("nope"));
  // Rectangles are for the parameter only.
  EXPECT_FALSE(select.select("0,0 to 10,10"));
  EXPECT_EQ(std::optional<std::string>("DUMMY1"), select.selection());
  MonitorSelect::Choice choice = select.choose(wholeScreen);
  EXPECT_EQ(secondMonitor, choice.rect);
  EXPECT_EQ(std::nullopt, choice.parameterSpec);
  EXPECT_EQ(std::optional<std::string>("DUMMY1"), choice.effectiveSpec);

  // A valid parameter wins over the selection; one that names nothing does
  // not.
  setMonitorParam("1");
  choice = select.choose(wholeScreen);
  EXPECT_EQ(firstMonitor, choice.rect);
  EXPECT_EQ(std::optional<std::string>("1"), choice.parameterSpec);
  EXPECT_EQ(std::optional<std::string>("1"), choice.effectiveSpec);
  setMonitorParam("nope");
  EXPECT_EQ(secondMonitor, select.choose(wholeScreen).rect);
  setMonitorParam("");
  ASSERT_TRUE(select.select(std::nullopt));
  EXPECT_TRUE(select.choose(wholeScreen).rect.isEmpty());
}

} // namespace
