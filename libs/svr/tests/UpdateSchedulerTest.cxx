#include <gtest/gtest.h>

#include "libs/svr/UpdateScheduler.h"

#include "base/plat/ConfigParameter.h"
#include "base/plat/Configuration.h"
#include "base/plat/Exception.h"
#include "base/plat/TimerManager.h"
#include "base/plat/tests/TimerTestSupport.h"
#include "libs/svr/SServer.h"
#include "libs/svr/UpdateInfo.h"
#include "testsupport/LogRecorder.h"
#include "uilibs/tx/tests/ClipboardPeers.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace svr {
namespace {

using rfb::Point;
using rfb::Rect;
using rfb::Region;
using cliptest::ScopedParam;

Region rgn(std::initializer_list<Rect> rects) {
  return Region(std::vector<Rect>(rects));
}

// Keeps what the server side was asked to send, with the fake time of each.
class FakeServer : public SServer {
public:
  struct Sent {
    UpdateInfo update;
    int64_t atMs;
  };

  explicit FakeServer(plat_test::FakeClock& clock) : clock_(clock) {}

  void setPixelBuffer(rfb::PixelBuffer*) override {}
  void setColourMapEntries(int, int) override {}
  void serverCutText(std::string_view) override {}
  void bell() override {}
  bool isUpdateRequested() override { return requested; }
  void desktopFailure(const plat::Exception&) override {}
  void closeClients(const CloseReason&) override {}
  void setCursorImage(const rfb::Cursor*) override {}
  void setCursorPos(const rfb::Point&) override {}
  void localInput() override {}
  void setBlankRegion(const rfb::Region&) override {}

  // A failure keeps the request open, as the protocol end does.
  void fbUpdate(const UpdateInfo& update) override {
    if (throwNext) {
      plat::Exception e = *throwNext;
      throwNext.reset();
      throw e;
    }
    requested = false;
    sent.push_back({update, clock_.ticks / plat::ticksPerMs});
  }

  bool requested = false;
  std::optional<plat::Exception> throwNext;
  std::vector<Sent> sent;

private:
  plat_test::FakeClock& clock_;
};

class FakeDesktop : public UpdateScheduler::Callback {
public:
  void prepareUpdate() override {
    prepared++;
    if (onPrepare)
      onPrepare();
  }
  int prepared = 0;
  std::function<void()> onPrepare;
};

class UpdateSchedulerTest : public ::testing::Test {
protected:
  // Moves the fake clock on one millisecond at a time, firing what is due
  // after each step, as the loop would.
  void advanceMs(int ms) {
    for (int i = 0; i < ms; i++) {
      clock.advanceMs(1);
      timers.processTimers();
    }
  }
  int64_t nowMs() const { return clock.ticks / plat::ticksPerMs; }

  void change(const Region& region) {
    scheduler.addChanged(region);
    scheduler.changesAdded();
  }
  void request() {
    server.requested = true;
    scheduler.requestUpdate();
  }

  plat_test::FakeClock clock;
  plat::TimerManager timers{true, &clock};
  FakeServer server{clock};
  FakeDesktop desktop;
  UpdateScheduler scheduler{desktop};
};

TEST_F(UpdateSchedulerTest, ChangesOfABatchLeaveTogetherWhenItsTimerFindsARequest) {
  scheduler.setServer(&server);
  change(rgn({{0, 0, 10, 10}}));
  request();
  change(rgn({{20, 0, 30, 10}}));
  EXPECT_TRUE(server.sent.empty()) << "must wait for the batch delay, not go at the request";
  EXPECT_EQ(0, desktop.prepared);
  advanceMs(1);
  ASSERT_EQ(1u, server.sent.size());
  EXPECT_EQ(1, server.sent[0].atMs);
  EXPECT_TRUE(server.sent[0].update.changed.equals(rgn({{0, 0, 10, 10}, {20, 0, 30, 10}})));
  EXPECT_TRUE(server.sent[0].update.copied.isEmpty());
  EXPECT_EQ(1, desktop.prepared);
  EXPECT_TRUE(scheduler.isEmpty()) << "the update is taken out of the tracker";
  EXPECT_FALSE(scheduler.isPending());
}

TEST_F(UpdateSchedulerTest, RequestDuringThePeriodLeavesWhenThePeriodEnds) {
  scheduler.setServer(&server);
  request();
  change(rgn({{0, 0, 10, 10}}));
  advanceMs(1);
  ASSERT_EQ(1u, server.sent.size());
  EXPECT_TRUE(scheduler.isPeriodRunning());

  change(rgn({{5, 5, 6, 6}}));
  advanceMs(1);
  EXPECT_TRUE(scheduler.isPending()) << "the batch is ready";
  request();
  advanceMs(23);
  EXPECT_EQ(1u, server.sent.size()) << "no second update inside the 25 ms period, at "
                                    << nowMs();
  advanceMs(1);
  ASSERT_EQ(2u, server.sent.size());
  EXPECT_EQ(26, server.sent[1].atMs) << "the period started with the first update, at 1 ms";
  EXPECT_TRUE(server.sent[1].update.changed.equals(rgn({{5, 5, 6, 6}})));
}

TEST_F(UpdateSchedulerTest, ARequestWaitsForChangesAndChangesForARequest) {
  scheduler.setServer(&server);
  request();
  advanceMs(100);
  EXPECT_TRUE(server.sent.empty());
  EXPECT_EQ(0, desktop.prepared);
  change(rgn({{0, 0, 4, 4}}));
  advanceMs(1);
  ASSERT_EQ(1u, server.sent.size());
  EXPECT_EQ(101, server.sent[0].atMs);

  change(rgn({{0, 0, 4, 4}}));
  advanceMs(50);
  change(rgn({{10, 0, 14, 4}}));
  advanceMs(50);
  EXPECT_EQ(1u, server.sent.size());
  request();
  ASSERT_EQ(2u, server.sent.size()) << "a ready batch goes at the request";
  EXPECT_EQ(201, server.sent[1].atMs);
  EXPECT_TRUE(server.sent[1].update.changed.equals(rgn({{0, 0, 4, 4}, {10, 0, 14, 4}})));
}

TEST_F(UpdateSchedulerTest, WithoutAPeriodEachBatchThatFindsARequestLeavesAfterItsDelay) {
  ScopedParam period("UpdatePeriod", "0");
  scheduler.setServer(&server);
  for (int i = 0; i < 3; i++) {
    SCOPED_TRACE(i);
    request();
    change(rgn({{i, 0, i + 1, 1}}));
    advanceMs(1);
    EXPECT_FALSE(scheduler.isPeriodRunning());
    ASSERT_EQ(size_t(i + 1), server.sent.size());
    EXPECT_EQ(i + 1, server.sent[i].atMs);
    EXPECT_TRUE(server.sent[i].update.changed.equals(rgn({{i, 0, i + 1, 1}})));
  }
  {
    ScopedParam delay("UpdateBatchDelay", "7");
    request();
    change(rgn({{0, 0, 1, 1}}));
    advanceMs(6);
    EXPECT_EQ(3u, server.sent.size());
    advanceMs(1);
    ASSERT_EQ(4u, server.sent.size());
    EXPECT_EQ(10, server.sent[3].atMs);
  }
  ScopedParam delay("UpdateBatchDelay", "0");
  request();
  change(rgn({{0, 0, 1, 1}}));
  EXPECT_EQ(4u, server.sent.size()) << "a 0 ms batch still waits for the loop's next pass";
  timers.processTimers();
  ASSERT_EQ(5u, server.sent.size());
  EXPECT_EQ(10, server.sent[4].atMs);
}

TEST_F(UpdateSchedulerTest, CopiesLeaveMerged) {
  struct Copy {
    Region dest;
    Point offset;
  };
  struct Case {
    const char* name;
    std::vector<Copy> copies;
    UpdateInfo expected;
  };
  const Case cases[] = {
    {"a window dragged twice is one copy with the summed offset",
     {{rgn({{10, 10, 110, 60}}), {10, 10}}, {rgn({{15, 30, 115, 80}}), {5, 20}}},
     {rgn({{15, 30, 115, 80}}), {15, 30},
      rgn({{10, 10, 110, 60}}).subtract(rgn({{15, 30, 115, 80}}))}},
    {"same offset, disjoint areas: one copy",
     {{rgn({{0, 0, 20, 20}}), {0, 30}}, {rgn({{50, 0, 70, 20}}), {0, 30}}},
     {rgn({{0, 0, 20, 20}, {50, 0, 70, 20}}), {0, 30}, Region()}},
    {"unrelated copies: the bigger stays a copy",
     {{rgn({{0, 0, 100, 100}}), {0, 100}}, {rgn({{200, 0, 210, 10}}), {3, 0}}},
     {rgn({{0, 0, 100, 100}}), {0, 100}, rgn({{200, 0, 210, 10}})}},
  };
  ScopedParam period("UpdatePeriod", "0");
  scheduler.setServer(&server);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server.sent.clear();
    request();
    for (const Copy& copy : c.copies)
      scheduler.addCopied(copy.dest, copy.offset);
    scheduler.changesAdded();
    advanceMs(1);
    ASSERT_EQ(1u, server.sent.size());
    const UpdateInfo& update = server.sent[0].update;
    EXPECT_TRUE(update.copied.equals(c.expected.copied));
    EXPECT_EQ(c.expected.offset, update.offset);
    EXPECT_TRUE(update.changed.equals(c.expected.changed));
  }
}

TEST_F(UpdateSchedulerTest, ChangesWhileStoppedAreDeliveredAfterStartAndRequest) {
  change(rgn({{0, 0, 8, 8}}));
  advanceMs(5);
  change(rgn({{30, 30, 40, 40}}));
  advanceMs(5);
  EXPECT_TRUE(server.sent.empty());
  EXPECT_EQ(0, desktop.prepared);

  scheduler.setServer(&server);
  EXPECT_TRUE(server.sent.empty()) << "starting alone sends nothing";
  request();
  ASSERT_EQ(1u, server.sent.size());
  EXPECT_TRUE(server.sent[0].update.changed.equals(rgn({{0, 0, 8, 8}, {30, 30, 40, 40}})));

  scheduler.setServer(nullptr);
  change(rgn({{1, 1, 2, 2}}));
  server.requested = true;
  advanceMs(100);
  EXPECT_EQ(1u, server.sent.size()) << "nothing is delivered once stopped again";
}

TEST_F(UpdateSchedulerTest, ChangesFoundInPrepareUpdateJoinTheUpdate) {
  scheduler.setServer(&server);
  desktop.onPrepare = [&] { scheduler.addChanged(rgn({{50, 50, 60, 60}})); };
  request();
  scheduler.changesAdded(); // a damage event: nothing fetched yet
  advanceMs(1);
  ASSERT_EQ(1u, server.sent.size());
  EXPECT_TRUE(server.sent[0].update.changed.equals(rgn({{50, 50, 60, 60}})));
}

TEST_F(UpdateSchedulerTest, ExceptionFromTheServerIsLoggedAndTheSchedulerGoesOn) {
  struct Case {
    plat::Exception thrown;
    const char* line;
  };
  const Case cases[] = {
    {plat::Exception("grab failed", "XError"), "[XError] grab failed"},
    {plat::Exception("no kind"), "no kind"},
  };
  ScopedParam period("UpdatePeriod", "0");
  scheduler.setServer(&server);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    testsupport::LogRecorder log("UpdateScheduler", 0);
    server.sent.clear();
    server.throwNext = c.thrown;
    request();
    scheduler.addCopied(rgn({{10, 0, 20, 10}}), {10, 0});
    change(rgn({{0, 0, 5, 5}}));
    advanceMs(1);
    EXPECT_TRUE(server.sent.empty());
    EXPECT_EQ(std::vector<std::string>{c.line}, log.texts("UpdateScheduler"));

    // Used to wait for a change elsewhere: the viewers kept the old picture
    // in the failed update's area until then.
    request();
    ASSERT_EQ(1u, server.sent.size()) << "the scheduler goes on after the failure";
    EXPECT_TRUE(server.sent[0].update.changed.equals(rgn({{0, 0, 5, 5}, {10, 0, 20, 10}})));
    EXPECT_TRUE(server.sent[0].update.copied.isEmpty());
  }
}

} // namespace
} // namespace svr
