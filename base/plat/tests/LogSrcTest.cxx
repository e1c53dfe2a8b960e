#include "base/plat/LogSetting.h"
#include "base/plat/LogSrc.h"

#include "LogTestSupport.h"

#include <gtest/gtest.h>

using logtest::Line;
using logtest::RecordingDest;

namespace {

plat::LogSrc srcLog("SrcTestSource");

class LogSrcTest : public logtest::LogStateTest {
protected:
  void SetUp() override {
    LogStateTest::SetUp();
    plat::setLogSetting("SrcTestSource:srcrec:200");
    plat::endStartup();
  }
  RecordingDest rec{"SrcRec"};
};

TEST_F(LogSrcTest, EachCallCarriesItsLevelAndFormats) {
  srcLog.error("e %d", 1);
  srcLog.status("s %s", "two");
  srcLog.info("i %c", '3');
  srcLog.debug("d %.1f", 4.0);
  srcLog.write(42, "w");
  EXPECT_EQ((std::vector<Line>{{0, "SrcTestSource", "e 1"},
                               {30, "SrcTestSource", "s two"},
                               {100, "SrcTestSource", "i 3"},
                               {110, "SrcTestSource", "d 4.0"},
                               {42, "SrcTestSource", "w"}}),
            rec.lines());
}

TEST_F(LogSrcTest, TextsAreEscapedAndCutToTheBuffer) {
  srcLog.error("tab\there ~ and caf\xc3\xa9 and \xff");
  std::string longText(5000, 'x');
  srcLog.error("%s", longText.c_str());
  srcLog.write(0, longText.c_str());
  EXPECT_EQ((std::vector<std::string>{"tab~^Ihere ~~ and caf\xc3\xa9 and ~M^?",
                                      std::string(4095, 'x'), std::string(4095, 'x')}),
            rec.texts());
}

TEST_F(LogSrcTest, WriteLinesSendsOneMessagePerLine) {
  srcLog.writeLines(30, "first\nsecond\n\nfourth");
  srcLog.writeLines(30, "");
  srcLog.writeLines(201, "above the binding\nnot sent");
  EXPECT_EQ((std::vector<std::string>{"first", "second", "", "fourth"}), rec.texts());
}

TEST(LogSrcListTest, DestroyedSourcesLeaveTheList) {
  const plat::LogSrc* address;
  {
    plat::LogSrc temporary("TemporarySource");
    address = &temporary;
    EXPECT_EQ(&temporary, plat::LogSrc::all().front());
  }
  std::vector<plat::LogSrc*> all = plat::LogSrc::all();
  EXPECT_EQ(all.end(), std::find(all.begin(), all.end(), address));
  EXPECT_NE(all.end(), std::find(all.begin(), all.end(), &srcLog));
}

} // namespace
