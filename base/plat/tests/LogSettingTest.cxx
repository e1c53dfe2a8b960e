#include "base/plat/CaseInsensitive.h"
#include "base/plat/Configuration.h"
#include "base/plat/ConfigParameter.h"
#include "base/plat/LogDestFile.h"
#include "base/plat/LogDestMem.h"
#include "base/plat/LogSetting.h"
#include "base/plat/LogSrc.h"

#include "LogTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

using logtest::Line;
using logtest::LogStateTest;
using logtest::RecordingDest;
using logtest::StderrCapture;

namespace {

plat::LogSrc alphaLog("SettingAlpha");
plat::LogSrc betaLog("SettingBeta");
plat::LogSrc otherLog("OtherSource");

TEST(LogSettingTest, PatternsMatchCaseInsensitivelyWithStars) {
  struct Case {
    const char* pattern;
    const char* name;
    bool matches;
  };
  const Case cases[] = {
    {"*", "Anything", true},         {"*", "", true},
    {"MsgIpc", "msgipc", true},      {"msgIPC", "MsgIpc", true},
    {"MsgIpc", "MsgIpcX", false},    {"MsgIpc", "Msg", false},
    {"Msg*", "MsgIpc", true},        {"*Ipc", "MsgIpc", true},
    {"*ipc", "MsgIpcs", false},      {"M*c", "MsgIpc", true},
    {"a*b*c", "aXXbYYc", true},      {"a*b*c", "aXXbYY", false},
    {"a*b*c", "abcbc", true},        {"**", "x", true},
    {"x*", "x", true},               {"*x*", "yyXyy", true},
    {"", "", true},                  {"", "a", false},
    {"a*a", "a", false},             {"*aab", "aaaab", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.pattern) + " ~ " + c.name);
    EXPECT_EQ(c.matches, plat::matchLogPattern(c.pattern, c.name));
  }
}

TEST(LogSettingTest, ElementsParseOnlyWithADecimalLevelUsingUpTheRest) {
  struct Case {
    const char* element;
    bool parses;
    const char* pattern;
    const char* dest;
    int level;
  };
  const Case cases[] = {
    {"*:stderr:10", true, "*", "stderr", 10},
    {"Foo*:file:0", true, "Foo*", "file", 0},
    {"::7", true, "", "", 7},
    {"*:ipc:2147483647", true, "*", "ipc", 2147483647},
    {"*:ipc:2147483648", false},
    {"*:stderr:", false},
    {"*:stderr", false},
    {"*", false},
    {"*:stderr:-1", false},
    {"*:stderr:+1", false},
    {"*:stderr:10x", false},
    {"*:stderr: 10", false},
    {"a:b:c:1", false},
    {"*:stderr:abc", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.element);
    std::optional<plat::LogElement> element = plat::parseLogElement(c.element);
    ASSERT_EQ(c.parses, element.has_value());
    if (!c.parses)
      continue;
    EXPECT_EQ(c.pattern, element->pattern);
    EXPECT_EQ(c.dest, element->dest);
    EXPECT_EQ(c.level, element->level);
  }
}

class LogSettingBindTest : public LogStateTest {
protected:
  RecordingDest rec{"SettingRec"};
  RecordingDest other{"SettingOther"};
};

TEST_F(LogSettingBindTest, LevelsUpToTheBindingLevelReachTheDestination) {
  plat::setLogSetting("*:settingrec:10");
  plat::endStartup();
  for (int level = 0; level <= 12; level++)
    alphaLog.write(level, "msg");
  std::vector<Line> lines = rec.lines();
  ASSERT_EQ(11u, lines.size());
  for (int level = 0; level <= 10; level++)
    EXPECT_EQ((Line{level, "SettingAlpha", "msg"}), lines[level]);
}

TEST_F(LogSettingBindTest, ALaterElementForOneSourceShowsItInDetail) {
  plat::setLogSetting("*:SettingRec:10,settingALPHA:SETTINGREC:100");
  plat::endStartup();
  alphaLog.info("alpha info");
  betaLog.info("beta info");
  betaLog.error("beta error");
  EXPECT_EQ((std::vector<std::string>{"alpha info", "beta error"}), rec.texts());
  EXPECT_EQ(100, alphaLog.bindings().at(&rec));
  EXPECT_EQ(10, betaLog.bindings().at(&rec));
  EXPECT_EQ(100, alphaLog.level());
  EXPECT_EQ(10, betaLog.level());
}

TEST_F(LogSettingBindTest, PatternsBindOnlyMatchingSources) {
  plat::setLogSetting("setting*:settingrec:30,*source:settingother:30");
  EXPECT_EQ(1u, alphaLog.bindings().count(&rec));
  EXPECT_EQ(1u, betaLog.bindings().count(&rec));
  EXPECT_EQ(0u, otherLog.bindings().count(&rec));
  EXPECT_EQ(1u, otherLog.bindings().count(&other));
  EXPECT_EQ(0u, alphaLog.bindings().count(&other));
}

TEST_F(LogSettingBindTest, UnknownDestinationIsReportedAndBindsNothing) {
  StderrCapture capture;
  plat::setLogSetting("*:nosuchdest:10");
  EXPECT_EQ("No LogDest found: 'nosuchdest'\n", capture.text());
  EXPECT_TRUE(alphaLog.bindings().empty());
  EXPECT_EQ(-1, alphaLog.level());
}

TEST_F(LogSettingBindTest, UnparsableElementIsReportedWholeAndTheRestStillApplies) {
  StderrCapture capture;
  plat::setLogSetting("*:settingrec:ten,SettingAlpha:settingrec:5,,*:x");
  EXPECT_EQ("Failed to parse log param element: '*:settingrec:ten'\n"
            "Failed to parse log param element: '*:x'\n",
            capture.text());
  EXPECT_EQ(5, alphaLog.bindings().at(&rec));
  EXPECT_TRUE(betaLog.bindings().empty());
}

TEST_F(LogSettingBindTest, EffectiveLevelIsCappedByTheDestinationLevel) {
  class CappedDest : public RecordingDest {
  public:
    CappedDest() : RecordingDest("SettingCapped") { setLevel(20); }
  } capped;
  plat::setLogSetting("SettingAlpha:settingcapped:100,SettingAlpha:settingrec:15");
  EXPECT_EQ(20, alphaLog.level());
  plat::setLogSetting("SettingAlpha:settingcapped:10,SettingAlpha:settingrec:15");
  EXPECT_EQ(15, alphaLog.level());
}

TEST_F(LogSettingBindTest, AfterStartupUnwantedMessagesAreNeitherDeliveredNorStored) {
  plat::setLogSetting("SettingAlpha:settingrec:30");
  plat::endStartup();
  alphaLog.debug("above the binding");
  betaLog.error("no binding at all");
  EXPECT_TRUE(rec.lines().empty());
  EXPECT_EQ(0u, plat::LogDestMem::instance().size());
  alphaLog.status("at the binding");
  EXPECT_EQ(1u, rec.lines().size());
}

TEST_F(LogSettingBindTest, InactiveDestinationsAreSkipped) {
  plat::setLogSetting("SettingAlpha:settingrec:30,SettingAlpha:settingother:30");
  plat::endStartup();
  rec.active = false;
  alphaLog.error("seen once");
  EXPECT_TRUE(rec.lines().empty());
  EXPECT_EQ(1u, other.lines().size());
}

TEST_F(LogSettingBindTest, DestroyedDestinationLosesItsBindings) {
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

TEST(LogSettingTest, EnvironmentVariablesExpand) {
  setenv("KWO_LOGTEST_DIR", "/srv/logs", 1);
  unsetenv("KWO_LOGTEST_UNSET");
  struct Case {
    const char* input;
    const char* expected;
  };
  const Case cases[] = {
    {"$KWO_LOGTEST_DIR/x", "/srv/logs/x"},
    {"a$KWO_LOGTEST_DIR", "a/srv/logs"},
    {"$KWO_LOGTEST_UNSET/x", "/x"},
    {"$", "$"},
    {"a$", "a$"},
    {"$1x", "$1x"},
    {"$/x", "$/x"},
    {"$KWO_LOGTEST_DIR$KWO_LOGTEST_DIR", "/srv/logs/srv/logs"},
    {"no variables", "no variables"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(c.expected, plat::expandEnvironment(c.input));
  }
}

TEST(LogSettingTest, FilePathJoinsDirectoryAndFile) {
  setenv("KWO_LOGTEST_DIR", "/srv/logs", 1);
  struct Case {
    const char* dir;
    const char* file;
    const char* expected;
  };
  const Case cases[] = {
    {"/var/log", "agent.log", "/var/log/agent.log"},
    {"/var/log/", "agent.log", "/var/log/agent.log"},
    {"/var/log", "/tmp/abs.log", "/tmp/abs.log"},
    {"$KWO_LOGTEST_DIR", "agent.log", "/srv/logs/agent.log"},
    {"/d", "$KWO_LOGTEST_DIR/agent.log", "/srv/logs/agent.log"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.dir) + " + " + c.file);
    EXPECT_EQ(c.expected, plat::logFilePath(c.dir, c.file));
  }
}

std::string listSourcesText(int width) {
  char* buffer = nullptr;
  size_t size = 0;
  std::FILE* out = open_memstream(&buffer, &size);
  plat::LogSrc::listSources(width, out);
  std::fclose(out);
  std::string text(buffer, size);
  std::free(buffer);
  return text;
}

TEST(LogSettingTest, SourceListIsSortedWrappedAndComplete) {
  std::vector<std::string> expected;
  for (plat::LogSrc* src : plat::LogSrc::all())
    expected.push_back(src->name());
  std::sort(expected.begin(), expected.end(), plat::LessIgnoreCase());
  expected.erase(std::unique(expected.begin(), expected.end(), plat::equalsIgnoreCase),
                 expected.end());

  for (int width : {30, 50, 79}) {
    SCOPED_TRACE(width);
    std::string text = listSourcesText(width);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ('\n', text.back());
    std::vector<std::string> names;
    std::istringstream lines(text);
    std::string line;
    bool first = true;
    while (std::getline(lines, line)) {
      EXPECT_LE(line.size(), size_t(width)) << line;
      if (!first) {
        ASSERT_EQ("  ", line.substr(0, 2));
        line = line.substr(2);
      }
      first = false;
      std::istringstream parts(line);
      std::string name;
      while (std::getline(parts, name, ',')) {
        if (!name.empty() && name[0] == ' ')
          name = name.substr(1);
        if (!name.empty())
          names.push_back(name);
      }
    }
    EXPECT_EQ(expected, names);
  }
  EXPECT_NE(std::string::npos, listSourcesText(2000).find(", SettingAlpha, SettingBeta, "));
}

TEST(LogSettingTest, DestinationListNamesEachKindOnItsOwnLine) {
  char* buffer = nullptr;
  size_t size = 0;
  std::FILE* out = open_memstream(&buffer, &size);
  plat::listLogDests(out);
  std::fclose(out);
  std::string text(buffer, size);
  std::free(buffer);
  EXPECT_EQ("  file\n  ipc\n  stderr\n", text);
}

class LogParamTest : public LogStateTest {
protected:
  void TearDown() override {
    for (const char* name : {"Log", "LogDir", "LogFile"})
      param(name).reset(false);
    LogStateTest::TearDown();
  }
  static plat::ConfigParameter& param(const char* name) {
    plat::ConfigParameter* found = plat::Configuration::global().findParam(name);
    EXPECT_NE(nullptr, found) << name;
    return *found;
  }
  RecordingDest rec{"ParamRec"};
};

TEST_F(LogParamTest, ChangingTheLogParameterRebindsSources) {
  ASSERT_TRUE(param("log").setParam("SettingAlpha:paramrec:42", 10));
  EXPECT_EQ(42, alphaLog.bindings().at(&rec));
  EXPECT_TRUE(betaLog.bindings().empty());
  param("Log").unset(10, true);
  EXPECT_EQ(0u, alphaLog.bindings().count(&rec));
}

TEST_F(LogParamTest, AnOverrideWinsOverTheParameter) {
  plat::setLogSetting("SettingBeta:paramrec:7");
  ASSERT_TRUE(param("Log").setParam("SettingAlpha:paramrec:42", 10));
  EXPECT_TRUE(alphaLog.bindings().empty());
  EXPECT_EQ(7, betaLog.bindings().at(&rec));
}

TEST_F(LogParamTest, LogDirAndLogFileSetTheFilePath) {
  plat::LogDestFile& file = plat::LogDestFile::fileDest();
  setenv("KWO_LOGTEST_DIR", "/srv/kwo", 1);
  ASSERT_TRUE(param("LogDir").setParam("$KWO_LOGTEST_DIR/logs/", 10));
  ASSERT_TRUE(param("LogFile").setParam("agent.log", 10));
  EXPECT_EQ("/srv/kwo/logs/agent.log", file.path());
  ASSERT_TRUE(param("LogFile").setParam("/abs/agent.log", 10));
  EXPECT_EQ("/abs/agent.log", file.path());
}

TEST_F(LogParamTest, InitLoggingSetsDefaultsAndTheProfileDirectory) {
  logtest::TempDir home;
  setenv("HOME", home.path().c_str(), 1);
  unsetenv("KWO_PROFILE_DIR");
  plat::initLogging("logtestapp", "SettingAlpha:paramrec:3", "Banner text");
  EXPECT_EQ(home.path() + "/.kwo", std::string(getenv("KWO_PROFILE_DIR")));
  EXPECT_EQ("SettingAlpha:paramrec:3", param("Log").valueText(0));
  EXPECT_EQ("logtestapp.log", param("LogFile").valueText(0));
  EXPECT_EQ(3, alphaLog.bindings().at(&rec));
  std::string dir = geteuid() == 0 ? "/var/log" : home.path() + "/.kwo";
  EXPECT_EQ(dir + "/logtestapp.log", plat::LogDestFile::fileDest().path());

  // An existing profile directory is kept.
  setenv("KWO_PROFILE_DIR", "/elsewhere", 1);
  plat::initLogging("logtestapp");
  EXPECT_EQ("/elsewhere", std::string(getenv("KWO_PROFILE_DIR")));
  EXPECT_EQ("*:stderr:10", param("Log").valueText(0));
}

} // namespace
