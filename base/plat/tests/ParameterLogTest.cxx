#include "base/plat/BinaryParameter.h"
#include "base/plat/BoolParameter.h"
#include "base/plat/Configuration.h"
#include "base/plat/IntParameter.h"
#include "base/plat/LogSetting.h"
#include "base/plat/tests/LogTestSupport.h"

#include <gtest/gtest.h>

namespace {

using logtest::Line;

class ParameterLog : public logtest::LogStateTest {
protected:
  void SetUp() override {
    LogStateTest::SetUp();
    plat::setLogSetting("Configuration:cfgrecord:200");
  }

  logtest::RecordingDest dest{"cfgrecord"};
};

TEST_F(ParameterLog, ALoggingGroupReportsStoredChangesWithoutBinaryValues) {
  plat::Configuration group("Logged", nullptr, nullptr, true);
  plat::IntParameter level("Level", "A level", 5, 0, 100, false, &group);
  plat::BinaryParameter key("Key", "Key bytes", {}, false, &group);
  level.set(7, 0);
  level.setParam("20", 10);
  level.setParam("20", 10);  // unchanged: no line
  level.unset(10, false);
  level.unset(0, false);  // never removed: no line
  key.setParam("c0ffee", 10);
  EXPECT_EQ(dest.lines(), (std::vector<Line>{
                            {110, "Configuration", "set Level(int) to 7, priority 0"},
                            {100, "Configuration", "set Level(int) to 20, priority 10"},
                            {100, "Configuration", "unset Level(int) priority 10, now 7, priority 0"},
                            {100, "Configuration", "set Key(binary) to <binary>, priority 10"},
                          }));
}

TEST_F(ParameterLog, QuietGroupLogsNothingButBadBooleans) {
  plat::Configuration group("Quiet");
  plat::BoolParameter flag("Flag", "A flag", false, false, &group);
  flag.setParam("1", 10);
  flag.unset(10, true);
  EXPECT_TRUE(dest.lines().empty());
  EXPECT_FALSE(flag.setParam("perhaps", 10));
  EXPECT_EQ(dest.lines(), (std::vector<Line>{
                            {0, "Configuration", "Bool parameter Flag: invalid value 'perhaps'"},
                          }));
}

} // namespace
