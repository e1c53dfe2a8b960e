#include "base/plat/Exception.h"
#include "base/plat/Kickee.h"
#include "base/plat/Kicker.h"
#include "base/plat/LogDestIpc.h"
#include "base/plat/LogSetting.h"
#include "base/plat/LogSrc.h"

#include "LogTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>

using logtest::Line;
using logtest::RecordingDest;

namespace {

// Counts kicks; the test plays the loop thread by calling fire().
class FakeKicker : public plat::Kicker {
public:
  FakeKicker(plat::Kickee& kickee, bool& destroyed) : Kicker(kickee), destroyed_(destroyed) {}
  ~FakeKicker() override { destroyed_ = true; }
  void kick() noexcept override { kicks++; }
  void fire() { notifyKickee(); }

  std::atomic<int> kicks{0};

private:
  bool& destroyed_;
};

class FakeChannel : public plat::LogDestIpc::Channel {
public:
  void sendLogMsg(int level, const char* source, const std::string& text) override {
    if (failAfter >= 0 && int(sent.size()) >= failAfter)
      throw plat::Exception("channel broken", "Test");
    sent.push_back({level, source, text});
  }
  void flush() override { flushes++; }
  std::unique_ptr<plat::Kicker> createKicker(plat::Kickee& kickee) override {
    auto created = std::make_unique<FakeKicker>(kickee, kickerDestroyed);
    kicker = created.get();
    kickerDestroyed = false;
    return created;
  }

  std::vector<Line> sent;
  int flushes = 0;
  int failAfter = -1;
  FakeKicker* kicker = nullptr;
  bool kickerDestroyed = false;
};

class LogDestIpcTest : public logtest::LogStateTest {
protected:
  ~LogDestIpcTest() override { ipc.setChannel(nullptr); }
  plat::LogDestIpc ipc{"IpcTest"};
  FakeChannel channel;
};

TEST_F(LogDestIpcTest, MessagesWaitForEachPeersLevelThenGoInOneBatchAfterAThousandTheNotice) {
  ipc.setChannel(&channel);
  ipc.write(0, "A", "error");
  ipc.write(110, "B", "debug");
  for (int i = 0; i < 1000; i++)
    ipc.write(30, "C", std::to_string(i).c_str());
  EXPECT_EQ(0, channel.kicker->kicks);
  channel.kicker->fire();
  EXPECT_TRUE(channel.sent.empty());

  ipc.levelReceived(30);
  ASSERT_EQ(1000u, channel.sent.size());
  EXPECT_EQ((Line{0, "A", "error"}), channel.sent[0]);
  EXPECT_EQ((Line{30, "C", "997"}), channel.sent[998]) << "the debug line was queued, then filtered";
  EXPECT_EQ((Line{0, "LogDestIpc", "Too many messages, discarding further ones"}),
            channel.sent.back());
  EXPECT_EQ(1, channel.flushes);
  EXPECT_EQ(0u, ipc.queued());

  // A new peer's level is awaited afresh; the old channel's kicker goes.
  FakeChannel second;
  ipc.setChannel(&second);
  EXPECT_TRUE(channel.kickerDestroyed);
  EXPECT_FALSE(ipc.levelKnown());
  ipc.write(0, "S", "waits for the new peer's level");
  second.kicker->fire();
  EXPECT_TRUE(second.sent.empty());
  ipc.setChannel(nullptr);
  EXPECT_TRUE(second.kickerDestroyed);
}

plat::LogSrc ipcSrc("IpcTestSource");

TEST_F(LogDestIpcTest, OnceTheLevelIsKnownItCapsSourcesAndWritesAreFilteredCutAndSentOnAKick) {
  ipc.setChannel(&channel);
  plat::setLogSetting("IpcTestSource:ipctest:200");
  ipc.levelReceived(0xffffffffu);
  EXPECT_EQ(INT_MAX, ipc.level());
  EXPECT_EQ(200, ipcSrc.level());
  ipc.write(100, "S", "queued while everything was wanted");
  ipc.levelReceived(30);
  EXPECT_EQ(30, ipcSrc.level()) << "the server's level becomes the source's";
  EXPECT_TRUE(channel.sent.empty()) << "filtered again when sent";
  channel.kicker->kicks = 0;

  ipc.write(100, "S", "too detailed");
  EXPECT_EQ(0u, ipc.queued());
  EXPECT_EQ(0, channel.kicker->kicks);
  ipc.write(30, "S", "wanted");
  ipc.write(0, "S", std::string(2000, 'a').c_str());
  ipc.write(0, "S", (std::string(1023, 'b') + "\xc3\xa9").c_str());
  EXPECT_EQ(3, channel.kicker->kicks);
  EXPECT_TRUE(channel.sent.empty());
  channel.kicker->fire();
  EXPECT_EQ((std::vector<Line>{{30, "S", "wanted"},
                               {0, "S", std::string(1024, 'a')},
                               {0, "S", std::string(1023, 'b')}}),
            channel.sent);
  plat::endStartup();
  ipcSrc.info("filtered before formatting");
  ipcSrc.status("sent");
  channel.kicker->fire();
  EXPECT_EQ((Line{30, "IpcTestSource", "sent"}), channel.sent.back());
  EXPECT_EQ(4u, channel.sent.size());
}

TEST(LogDestIpcCutTest, CutsEndOnSequenceBoundaries) {
  struct Case {
    std::string text;
    size_t max;
    std::string expected;
  };
  const Case cases[] = {
    {"abcd", 3, "abc"},
    // Used to cut a character in half, sending invalid UTF-8.
    {"a\xc3\xa9", 2, "a"},
    {"a\xc3\xa9", 3, "a\xc3\xa9"},
    {"\xf0\x9f\x98\x80x", 3, ""},
    {"\xf0\x9f\x98\x80x", 4, "\xf0\x9f\x98\x80"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text + " / " + std::to_string(c.max));
    EXPECT_EQ(c.expected, plat::cutUtf8(c.text, c.max));
  }
}

TEST_F(LogDestIpcTest, AFailedSendIsLoggedOnceAndDropsTheRestOfTheBatch) {
  RecordingDest rec("IpcFailRec");
  plat::setLogSetting("LogDestIpc:ipcfailrec:100");
  plat::endStartup();
  ipc.setChannel(&channel);
  channel.failAfter = 1;
  ipc.write(0, "S", "one");
  ipc.write(0, "S", "two");
  ipc.write(0, "S", "three");
  ipc.levelReceived(30);
  EXPECT_EQ((std::vector<Line>{{0, "S", "one"}}), channel.sent);
  EXPECT_EQ(0, channel.flushes);
  EXPECT_EQ((std::vector<Line>{{30, "LogDestIpc", "[Test] channel broken"}}), rec.lines());
  EXPECT_EQ(0u, ipc.queued());

  // Still failing: not reported again.
  ipc.write(0, "S", "four");
  channel.kicker->fire();
  EXPECT_EQ(1u, rec.lines().size());

  // Working again: sent and flushed, and a later failure is reported anew.
  channel.failAfter = -1;
  ipc.write(0, "S", "five");
  channel.kicker->fire();
  EXPECT_EQ("five", channel.sent.back().text);
  EXPECT_EQ(1, channel.flushes);
  channel.failAfter = int(channel.sent.size());
  ipc.write(0, "S", "six");
  channel.kicker->fire();
  EXPECT_EQ(2u, rec.lines().size());
}

} // namespace
