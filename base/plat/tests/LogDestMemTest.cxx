#include "base/plat/LogDestMem.h"
#include "base/plat/LogSetting.h"
#include "base/plat/LogSrc.h"

#include "LogTestSupport.h"

#include <gtest/gtest.h>

using logtest::Line;
using logtest::RecordingDest;

namespace {

plat::LogSrc memLog("MemTestSource");

const std::string start = "Start replaying stored messages";
const std::string finish = "Finished replaying stored messages";

class LogReplayTest : public logtest::LogStateTest {
protected:
  RecordingDest rec{"ReplayRec"};
  RecordingDest late{"ReplayLate"};
};

TEST_F(LogReplayTest, StartupMessagesAreReplayedFramedToStarDestinationsUpToTheirLevel) {
  memLog.error("early error");
  memLog.status("early status");
  memLog.debug("early debug");
  plat::setLogSetting("*:replayrec:30");
  EXPECT_EQ((std::vector<Line>{{30, "LogDestMem", start},
                               {0, "MemTestSource", "early error"},
                               {30, "MemTestSource", "early status"},
                               {30, "LogDestMem", finish}}),
            rec.lines());
  EXPECT_EQ(1u, plat::LogDestMem::instance().size()) << "what was replayed is dropped";

  // The debug line is still kept for a "*" destination that wants it.
  plat::setLogSetting("*:replaylate:200");
  EXPECT_EQ((std::vector<std::string>{start, "early debug", finish}), late.texts());
  EXPECT_EQ(0u, plat::LogDestMem::instance().size());
}

TEST_F(LogReplayTest, NoReplayForOtherPatternsInactiveDestinationsOrNothingQualifying) {
  memLog.debug("stored");
  plat::setLogSetting("MemTest*:replayrec:200,*:replaylate:30");
  rec.active = false;
  plat::setLogSetting("*:replayrec:200");
  EXPECT_TRUE(rec.lines().empty());
  EXPECT_TRUE(late.lines().empty());
  EXPECT_EQ(1u, plat::LogDestMem::instance().size());
}

TEST_F(LogReplayTest, EndOfStartupReplaysWithTheCurrentSettingOnceAndDropsTheRest) {
  plat::setLogSetting("*:replaylate:30");
  // Not taken while the destination is inactive, so stored.
  late.active = false;
  memLog.error("kept for the end");
  memLog.debug("above every star level");
  late.active = true;
  EXPECT_TRUE(late.lines().empty());
  plat::endStartup();
  plat::endStartup();
  EXPECT_EQ((std::vector<std::string>{start, "kept for the end", finish}), late.texts());
  EXPECT_FALSE(plat::isLogStartup());
  EXPECT_EQ(0u, plat::LogDestMem::instance().size());
  plat::setLogSetting("*:replayrec:200");
  EXPECT_TRUE(rec.lines().empty());
}

TEST_F(LogReplayTest, TheFiveHundredAndFirstStartupMessageIsTheNotice) {
  for (int i = 0; i < 502; i++)
    memLog.error("message %d", i);
  EXPECT_EQ(501u, plat::LogDestMem::instance().size());
  plat::setLogSetting("*:replayrec:0");
  std::vector<Line> lines = rec.lines();
  ASSERT_EQ(503u, lines.size());
  EXPECT_EQ("message 499", lines[500].text);
  EXPECT_EQ((Line{0, "LogDestMem", "Too many messages, discarding further ones"}), lines[501]);
}

} // namespace
