#include "base/plat/Kickee.h"
#include "base/plat/Kicker.h"
#include "base/plat/LogSetting.h"
#include "base/plat/LogSrc.h"

#include "LogTestSupport.h"

#include <gtest/gtest.h>

using logtest::Line;
using logtest::LogStateTest;
using logtest::RecordingDest;

namespace {

plat::LogSrc srcLog("SrcTestSource");

class LogSrcTest : public LogStateTest {
protected:
  void SetUp() override {
    LogStateTest::SetUp();
    plat::setLogSetting("SrcTestSource:srcrec:200");
    plat::endStartup();
  }
  RecordingDest rec{"SrcRec"};
};

TEST_F(LogSrcTest, EachCallCarriesItsLevel) {
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

TEST_F(LogSrcTest, TextsAreEscapedBeforeDelivery) {
  srcLog.error("tab\there ~ and \x01 and caf\xc3\xa9 and \xff");
  EXPECT_EQ("tab~^Ihere ~~ and ~^A and caf\xc3\xa9 and ~M^?", rec.texts().at(0));
}

TEST_F(LogSrcTest, LongMessagesAreCutToTheBuffer) {
  std::string longText(5000, 'x');
  srcLog.error("%s", longText.c_str());
  srcLog.write(0, longText.c_str());
  ASSERT_EQ(2u, rec.lines().size());
  EXPECT_EQ(std::string(4095, 'x'), rec.texts()[0]);
  EXPECT_EQ(std::string(4095, 'x'), rec.texts()[1]);
}

TEST_F(LogSrcTest, WriteLinesSendsOneMessagePerLine) {
  srcLog.writeLines(30, "first\nsecond\n\nfourth");
  srcLog.writeLines(30, "");
  srcLog.writeLines(201, "above the binding\nnot sent");
  EXPECT_EQ((std::vector<std::string>{"first", "second", "", "fourth"}), rec.texts());
}

TEST_F(LogSrcTest, MessagesAboveTheBindingLevelAreNotDelivered) {
  plat::setLogSetting("SrcTestSource:srcrec:30");
  srcLog.info("no");
  srcLog.status("yes");
  EXPECT_EQ((std::vector<std::string>{"yes"}), rec.texts());
}

TEST(LogSrcListTest, SourcesJoinAndLeaveTheList) {
  auto contains = [](const plat::LogSrc* wanted) {
    for (plat::LogSrc* src : plat::LogSrc::all()) {
      if (src == wanted)
        return true;
    }
    return false;
  };
  const plat::LogSrc* address;
  {
    plat::LogSrc temporary("TemporarySource");
    address = &temporary;
    EXPECT_TRUE(contains(address));
    EXPECT_EQ(&temporary, plat::LogSrc::all().front());
  }
  EXPECT_FALSE(contains(address));
  EXPECT_TRUE(contains(&srcLog));
}

TEST(LogSrcStartupTest, WithoutAnySettingStartupMessagesAreKept) {
  plat::resetLogStateForTests();
  EXPECT_TRUE(plat::isLogStartup());
  srcLog.debug("kept even at debug level");
  RecordingDest rec("SrcStartRec");
  plat::setLogSetting("*:srcstartrec:200");
  EXPECT_EQ((std::vector<std::string>{"Start replaying stored messages", "kept even at debug level",
                                      "Finished replaying stored messages"}),
            rec.texts());
  plat::resetLogStateForTests();
}

class CountingKickee : public plat::Kickee {
public:
  void kicked(plat::Kicker& kicker) override {
    calls++;
    last = &kicker;
  }
  int calls = 0;
  plat::Kicker* last = nullptr;
};

class ManualKicker : public plat::Kicker {
public:
  using Kicker::Kicker;
  void kick() noexcept override { pending++; }
  // What a loop does when its wake-up fires: drain, then tell the kickee once.
  void run() {
    if (pending == 0)
      return;
    pending = 0;
    notifyKickee();
  }
  int pending = 0;
};

TEST(KickerTest, KicksBeforeTheLoopRunsMergeIntoOneCall) {
  CountingKickee kickee;
  ManualKicker kicker(kickee);
  kicker.run();
  EXPECT_EQ(0, kickee.calls);
  kicker.kick();
  kicker.kick();
  kicker.run();
  EXPECT_EQ(1, kickee.calls);
  EXPECT_EQ(&kicker, kickee.last);
}

} // namespace
