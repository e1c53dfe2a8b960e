#include "base/plat/Configuration.h"
#include "base/plat/ConfigParameter.h"
#include "base/plat/LogDestFile.h"
#include "base/plat/LogDestMem.h"
#include "base/plat/LogSetting.h"
#include "base/plat/LogSrc.h"

#include "LogTestSupport.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

using logtest::Line;
using logtest::LogStateTest;
using logtest::RecordingDest;

namespace {

plat::LogSrc alphaLog("SettingAlpha");
plat::LogSrc betaLog("SettingBeta");

TEST(LogSettingTest, PatternsMatchCaseInsensitivelyWithStars) {
  struct Case {
    const char* pattern;
    const char* name;
    bool matches;
  };
  const Case cases[] = {
    {"*", "", true},          {"msgIPC", "MsgIpc", true},  {"MsgIpc", "MsgIpcX", false},
    {"*ipc", "MsgIpcs", false}, {"a*b*c", "abcbc", true}, {"a*b*c", "aXXbYY", false},
    {"", "a", false},         {"a*a", "a", false},        {"*aab", "aaaab", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.pattern) + " ~ " + c.name);
    EXPECT_EQ(c.matches, plat::matchLogPattern(c.pattern, c.name));
  }
}

TEST(LogSettingTest, ElementsParseOnlyWithADecimalLevelUsingUpTheRest) {
  struct Case {
    const char* element;
    const char* pattern;
    const char* dest;
    int level;
  };
  const Case cases[] = {
    {"*:stderr:10", "*", "stderr", 10},
    {"::7", "", "", 7},
    {"*:ipc:2147483647", "*", "ipc", 2147483647},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.element);
    std::optional<plat::LogElement> element = plat::parseLogElement(c.element);
    ASSERT_TRUE(element.has_value());
    EXPECT_EQ(c.pattern, element->pattern);
    EXPECT_EQ(c.dest, element->dest);
    EXPECT_EQ(c.level, element->level);
  }
  for (const char* bad : {"*:ipc:2147483648", "*:stderr:", "*:stderr", "*:stderr:+1", "*:stderr: 10", "a:b:c:1"})
    EXPECT_FALSE(plat::parseLogElement(bad).has_value()) << bad;
}

class LogSettingBindTest : public LogStateTest {
protected:
  RecordingDest rec{"SettingRec"};
  RecordingDest other{"SettingOther"};
};

TEST_F(LogSettingBindTest, EachCallCarriesItsLevelAndLevelsUpToTheBindingArriveLaterElementsWin) {
  plat::setLogSetting("*:SettingRec:10,settingALPHA:SETTINGREC:200");
  plat::endStartup();
  alphaLog.error("e %d", 1);
  alphaLog.status("s %s", "two");
  alphaLog.info("i %c", '3');
  alphaLog.debug("d %.1f", 4.0);
  alphaLog.write(42, "w");
  betaLog.write(11, "beta above");
  betaLog.write(10, "beta at");
  EXPECT_EQ((std::vector<Line>{{0, "SettingAlpha", "e 1"},
                               {30, "SettingAlpha", "s two"},
                               {100, "SettingAlpha", "i 3"},
                               {110, "SettingAlpha", "d 4.0"},
                               {42, "SettingAlpha", "w"},
                               {10, "SettingBeta", "beta at"}}),
            rec.lines());
}

TEST_F(LogSettingBindTest, TextsAreEscapedCutToTheBufferAndWrittenLineByLine) {
  plat::setLogSetting("SettingAlpha:settingrec:30");
  plat::endStartup();
  alphaLog.error("tab\there ~ and caf\xc3\xa9 and \xff");
  std::string longText(5000, 'x');
  alphaLog.error("%s", longText.c_str());
  alphaLog.write(0, longText.c_str());
  alphaLog.writeLines(30, "first\nsecond\n\nfourth");
  alphaLog.writeLines(30, "");
  alphaLog.writeLines(31, "above the binding\nnot sent");
  EXPECT_EQ((std::vector<std::string>{"tab~^Ihere ~~ and caf\xc3\xa9 and ~M^?",
                                      std::string(4095, 'x'), std::string(4095, 'x'), "first",
                                      "second", "", "fourth"}),
            rec.texts());
}

TEST_F(LogSettingBindTest, BadElementsAreReportedAndTheRestStillApplies) {
  testing::internal::CaptureStderr();
  plat::setLogSetting("*:settingrec:ten,SettingAlpha:settingrec:5,,*:x,*:nosuchdest:10");
  EXPECT_EQ("Failed to parse log param element: '*:settingrec:ten'\n"
            "Failed to parse log param element: '*:x'\n"
            "No LogDest found: 'nosuchdest'\n",
            testing::internal::GetCapturedStderr());
  EXPECT_EQ(5, alphaLog.level());
  EXPECT_EQ(-1, betaLog.level());
}

TEST_F(LogSettingBindTest, EffectiveLevelIsCappedByTheDestinationLevel) {
  other.setLevel(20);
  plat::setLogSetting("SettingAlpha:settingother:100,SettingAlpha:settingrec:15");
  EXPECT_EQ(20, alphaLog.level());
  plat::setLogSetting("SettingAlpha:settingother:10,SettingAlpha:settingrec:15");
  EXPECT_EQ(15, alphaLog.level());
}

TEST_F(LogSettingBindTest, AfterStartupOnlyActiveBoundDestinationsGetMessagesAndNothingIsStored) {
  plat::setLogSetting("SettingAlpha:settingrec:30,SettingAlpha:settingother:30");
  plat::endStartup();
  other.active = false;
  alphaLog.debug("above the binding");
  betaLog.error("no binding at all");
  EXPECT_TRUE(rec.lines().empty());
  EXPECT_EQ(0u, plat::LogDestMem::instance().size());
  alphaLog.status("at the binding");
  EXPECT_EQ(1u, rec.lines().size());
  EXPECT_TRUE(other.lines().empty());
}

TEST_F(LogSettingBindTest, DestroyedDestinationsLeave) {
  {
    RecordingDest shortLived("SettingShort");
    plat::setLogSetting("SettingAlpha:settingshort:30");
    EXPECT_EQ(30, alphaLog.level());
  }
  EXPECT_TRUE(alphaLog.bindings().empty());
  EXPECT_EQ(-1, alphaLog.level());
  plat::endStartup();
  alphaLog.error("must not reach a destroyed destination");
}

TEST(LogSettingTest, FilePathJoinsDirectoryAndFileExpandingVariables) {
  setenv("KWO_LOGTEST_DIR", "/srv/logs", 1);
  unsetenv("KWO_LOGTEST_UNSET");
  struct Case {
    const char* dir;
    const char* file;
    const char* expected;
  };
  const Case cases[] = {
    {"/var/log/", "agent.log", "/var/log/agent.log"},
    {"/var/log", "/tmp/abs.log", "/tmp/abs.log"},
    {"a$KWO_LOGTEST_DIR$KWO_LOGTEST_DIR", "x", "a/srv/logs/srv/logs/x"},
    {"$KWO_LOGTEST_UNSET/d", "x", "/d/x"},
    {"a$", "x", "a$/x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.dir) + " + " + c.file);
    EXPECT_EQ(c.expected, plat::logFilePath(c.dir, c.file));
  }
}

class LogParamTest : public LogStateTest {
protected:
  void SetUp() override {
    LogStateTest::SetUp();
    for (const char* name : {"LogDir", "LogFile"})
      savedDefaults_.push_back(param(name).valueText(0));
  }
  void TearDown() override {
    for (const char* name : {"Log", "LogDir", "LogFile"})
      param(name).reset(false);
    param("LogDir").setParam(savedDefaults_[0].c_str(), 0);
    param("LogFile").setParam(savedDefaults_[1].c_str(), 0);
    plat::LogDestFile::fileDest().setPath(std::nullopt);
    LogStateTest::TearDown();
  }
  static plat::ConfigParameter& param(const char* name) {
    return *plat::Configuration::global().findParam(name);
  }
  RecordingDest rec{"ParamRec"};

private:
  std::vector<std::string> savedDefaults_;
};

TEST_F(LogParamTest, TheLogParameterRebindsSourcesUnlessOverridden) {
  ASSERT_TRUE(param("log").setParam("SettingAlpha:paramrec:42", 10));
  EXPECT_EQ(42, alphaLog.level());
  EXPECT_EQ(-1, betaLog.level());
  param("Log").unset(10, true);
  EXPECT_EQ(0u, alphaLog.bindings().count(&rec));

  plat::setLogSetting("SettingBeta:paramrec:7");
  ASSERT_TRUE(param("Log").setParam("SettingAlpha:paramrec:42", 10));
  EXPECT_EQ(-1, alphaLog.level());
  EXPECT_EQ(7, betaLog.level());
}

TEST_F(LogParamTest, InitLoggingSetsDefaultsAndTheProfileDirectory) {
  testsupport::TempDir home;
  setenv("HOME", home.path().c_str(), 1);
  unsetenv("KWO_PROFILE_DIR");
  plat::initLogging("logtestapp", "SettingAlpha:paramrec:3", "Banner text");
  EXPECT_EQ(home.path() + "/.kwo", std::string(getenv("KWO_PROFILE_DIR")));
  EXPECT_EQ("SettingAlpha:paramrec:3", param("Log").valueText(0));
  EXPECT_EQ(3, alphaLog.level());
  std::string dir = geteuid() == 0 ? "/var/log" : home.path() + "/.kwo";
  EXPECT_EQ(dir + "/logtestapp.log", plat::LogDestFile::fileDest().path());
  // Changing either parameter moves the file.
  ASSERT_TRUE(param("LogDir").setParam("/srv/kwo", 10));
  EXPECT_EQ("/srv/kwo/logtestapp.log", plat::LogDestFile::fileDest().path());
  ASSERT_TRUE(param("LogFile").setParam("agent.log", 10));
  EXPECT_EQ("/srv/kwo/agent.log", plat::LogDestFile::fileDest().path());

  // An existing profile directory is kept.
  setenv("KWO_PROFILE_DIR", "/elsewhere", 1);
  plat::initLogging("logtestapp");
  EXPECT_EQ("/elsewhere", std::string(getenv("KWO_PROFILE_DIR")));
  EXPECT_EQ("*:stderr:10", param("Log").valueText(0));
}

} // namespace
