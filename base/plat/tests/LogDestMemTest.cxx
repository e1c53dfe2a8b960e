#include "base/plat/LogDestMem.h"
#include "base/plat/LogSetting.h"
#include "base/plat/LogSrc.h"

#include "LogTestSupport.h"

#include <gtest/gtest.h>

using logtest::Line;
using logtest::LogStateTest;
using logtest::RecordingDest;

namespace {

plat::LogSrc memLog("MemTestSource");

const char* const notice = "Too many messages, discarding further ones";

TEST(LogDestMemTest, KeepsFiveHundredThenTheNoticeThenNothing) {
  plat::LogDestMem store;
  for (int i = 0; i < 502; i++)
    store.write(i % 3, "Src", std::to_string(i).c_str());
  EXPECT_EQ(501u, store.size());

  RecordingDest rec("MemCapRec");
  store.replay(rec, 100);
  std::vector<Line> lines = rec.lines();
  ASSERT_EQ(503u, lines.size());
  EXPECT_EQ((Line{100, "LogDestMem", "Start replaying stored messages"}), lines.front());
  for (int i = 0; i < 500; i++)
    EXPECT_EQ((Line{i % 3, "Src", std::to_string(i)}), lines[1 + i]);
  EXPECT_EQ((Line{0, "LogDestMem", notice}), lines[501]);
  EXPECT_EQ((Line{100, "LogDestMem", "Finished replaying stored messages"}), lines.back());
}

TEST(LogDestMemTest, ReplayTakesOnlyMessagesUpToTheLevelAndKeepsTheStore) {
  plat::LogDestMem store;
  store.write(0, "A", "error");
  store.write(110, "B", "debug");
  store.write(30, "C", "status");
  RecordingDest rec("MemLevelRec");
  store.replay(rec, 30);
  EXPECT_EQ((std::vector<Line>{{30, "LogDestMem", "Start replaying stored messages"},
                               {0, "A", "error"},
                               {30, "C", "status"},
                               {30, "LogDestMem", "Finished replaying stored messages"}}),
            rec.lines());
  EXPECT_EQ(3u, store.size());
  store.discardUpTo(30);
  EXPECT_EQ(1u, store.size());
}

TEST(LogDestMemTest, NothingQualifyingMeansNoFraming) {
  plat::LogDestMem store;
  store.write(110, "B", "debug");
  RecordingDest rec("MemEmptyRec");
  store.replay(rec, 10);
  EXPECT_TRUE(rec.lines().empty());
}

TEST(LogDestMemTest, MessagesWrittenDuringAReplayAreNotStored) {
  plat::LogDestMem store;
  // A destination that logs back into the store as it is written to, as a
  // destination bound to nothing else would during start-up.
  class EchoDest : public RecordingDest {
  public:
    explicit EchoDest(plat::LogDestMem& store) : RecordingDest("MemEchoRec"), store_(store) {}
    void write(int level, const char* source, const char* text) override {
      RecordingDest::write(level, source, text);
      store_.write(level, "Echo", text);
    }

  private:
    plat::LogDestMem& store_;
  } echo(store);
  store.write(0, "A", "one");
  store.replay(echo, 10);
  EXPECT_EQ(3u, echo.lines().size());
  EXPECT_EQ(1u, store.size());
}

class LogReplayTest : public LogStateTest {
protected:
  RecordingDest rec{"ReplayRec"};
  RecordingDest late{"ReplayLate"};
};

TEST_F(LogReplayTest, StartupMessagesAreReplayedFramedToStarDestinations) {
  memLog.error("early error");
  memLog.status("early status");
  memLog.debug("early debug");
  plat::setLogSetting("*:replayrec:30");
  EXPECT_EQ((std::vector<Line>{{30, "LogDestMem", "Start replaying stored messages"},
                               {0, "MemTestSource", "early error"},
                               {30, "MemTestSource", "early status"},
                               {30, "LogDestMem", "Finished replaying stored messages"}}),
            rec.lines());

  // The debug line is still kept for a "*" destination that wants it...
  plat::setLogSetting("*:replaylate:200");
  EXPECT_EQ((std::vector<std::string>{"Start replaying stored messages", "early debug",
                                      "Finished replaying stored messages"}),
            late.texts());
  EXPECT_EQ(0u, plat::LogDestMem::instance().size());
}

TEST_F(LogReplayTest, MessagesAboveEveryStarLevelAreLostAtTheEndOfStartup) {
  memLog.debug("too detailed");
  memLog.error("wanted");
  plat::setLogSetting("*:replayrec:30");
  EXPECT_EQ(1u, plat::LogDestMem::instance().size());
  plat::endStartup();
  EXPECT_EQ(0u, plat::LogDestMem::instance().size());
  plat::setLogSetting("*:replaylate:200");
  EXPECT_TRUE(late.lines().empty());
}

TEST_F(LogReplayTest, OnlyTheStarPatternReplays) {
  memLog.error("stored");
  plat::setLogSetting("MemTest*:replayrec:30");
  EXPECT_TRUE(rec.lines().empty());
  EXPECT_EQ(1u, plat::LogDestMem::instance().size());
}

TEST_F(LogReplayTest, InactiveStarDestinationsGetNoReplay) {
  memLog.error("stored");
  rec.active = false;
  plat::setLogSetting("*:replayrec:30");
  EXPECT_TRUE(rec.lines().empty());
  EXPECT_EQ(1u, plat::LogDestMem::instance().size());
}

TEST_F(LogReplayTest, EndOfStartupReplaysWithTheCurrentSettingOnce) {
  plat::setLogSetting("*:replaylate:110");
  // Not taken while the destination is inactive, so stored.
  late.active = false;
  memLog.debug("kept for the end");
  late.active = true;
  EXPECT_TRUE(late.lines().empty());
  plat::endStartup();
  plat::endStartup();
  EXPECT_EQ((std::vector<std::string>{"Start replaying stored messages", "kept for the end",
                                      "Finished replaying stored messages"}),
            late.texts());
  EXPECT_FALSE(plat::isLogStartup());
}

TEST_F(LogReplayTest, UndeliveredMessagesAreDroppedAfterStartup) {
  plat::endStartup();
  memLog.error("nobody listens");
  EXPECT_EQ(0u, plat::LogDestMem::instance().size());
}

TEST_F(LogReplayTest, TheFiveHundredAndFirstStartupMessageIsTheNotice) {
  for (int i = 0; i < 502; i++)
    memLog.error("message %d", i);
  EXPECT_EQ(501u, plat::LogDestMem::instance().size());
  plat::setLogSetting("*:replayrec:0");
  std::vector<Line> lines = rec.lines();
  ASSERT_EQ(503u, lines.size());
  EXPECT_EQ("message 499", lines[500].text);
  EXPECT_EQ((Line{0, "LogDestMem", notice}), lines[501]);
}

} // namespace
