#include "libs/svr/tests/DesktopTestSupport.h"

#include "libs/svr/UpdateScheduler.h"

#include "base/plat/tests/TimerTestSupport.h"
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
class FakeServer : public svrtest::RecordingServer {
public:
  explicit FakeServer(plat_test::FakeClock& clock) : clock_(clock) {}

  // A failure keeps the request open, as the protocol end does.
  void fbUpdate(const UpdateInfo& update) override {
    if (throwNext) {
      plat::Exception e = *throwNext;
      throwNext.reset();
      throw e;
    }
    sentAtMs.push_back(clock_.ticks / plat::ticksPerMs);
    RecordingServer::fbUpdate(update);
  }

  std::optional<plat::Exception> throwNext;
  std::vector<int64_t> sentAtMs;

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
    server.updateRequested = true;
    scheduler.requestUpdate();
  }

  plat_test::FakeClock clock;
  plat::TimerManager timers{true, &clock};
  FakeServer server{clock};
  FakeDesktop desktop;
  UpdateScheduler scheduler{desktop};
};

TEST_F(UpdateSchedulerTest, ChangesAndCopiesOfABatchLeaveTogetherWhenItsTimerFindsARequest) {
  scheduler.setServer(&server);
  // What the desktop finds while preparing joins the update.
  desktop.onPrepare = [&] { scheduler.addChanged(rgn({{50, 50, 60, 60}})); };
  change(rgn({{0, 0, 10, 10}}));
  request();
  // The merging itself is rfb::SimpleUpdateTracker's (tested there).
  scheduler.addCopied(rgn({{70, 40, 90, 60}}), {0, 30});
  change(rgn({{20, 0, 30, 10}}));
  EXPECT_TRUE(server.updates.empty()) << "must wait for the batch delay, not go at the request";
  EXPECT_EQ(0, desktop.prepared);
  advanceMs(1);
  ASSERT_EQ(1u, server.updates.size());
  EXPECT_EQ(1, server.sentAtMs[0]);
  EXPECT_TRUE(server.updates[0].changed.equals(rgn({{0, 0, 10, 10}, {20, 0, 30, 10}, {50, 50, 60, 60}})));
  EXPECT_TRUE(server.updates[0].copied.equals(rgn({{70, 40, 90, 60}})));
  EXPECT_EQ(Point(0, 30), server.updates[0].offset);
  EXPECT_EQ(1, desktop.prepared);
  EXPECT_TRUE(scheduler.isEmpty()) << "the update is taken out of the tracker";
  EXPECT_FALSE(scheduler.isPending());
}

// When updates leave. Steps: "c" a change, "r" a viewer's request, "+N" N ms
// pass one at a time, "t" one pass of the loop's timers, "=N" N updates have
// left so far.
TEST_F(UpdateSchedulerTest, UpdatesLeaveWhenABatchFindsARequestAndThePeriodHasEnded) {
  struct Case {
    const char* name;
    const char* period;
    const char* delay;
    std::vector<std::string> steps;
    std::vector<int64_t> sentAtMs;
  };
  const Case cases[] = {
    {"a request during the period waits for its end (25 ms after the first update)", "25", "1",
     {"r", "c", "+1", "c", "+1", "r", "+23", "=1", "+1"}, {1, 26}},
    {"a request waits for changes, changes wait for a request", "25", "1",
     {"r", "+100", "=0", "c", "+1", "c", "+50", "c", "+50", "=1", "r"}, {101, 201}},
    {"without a period each batch leaves after its delay", "0", "1",
     {"r", "c", "+1", "r", "c", "+1", "r", "c", "+1"}, {1, 2, 3}},
    {"a longer delay", "0", "7", {"r", "c", "+6", "=0", "+1"}, {7}},
    {"a 0 ms batch still waits for the loop's next pass", "0", "0", {"r", "c", "=0", "t"}, {0}},
  };
  scheduler.setServer(&server);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedParam period("UpdatePeriod", c.period);
    ScopedParam delay("UpdateBatchDelay", c.delay);
    // Past any period of the case before.
    advanceMs(100);
    clock.ticks = 0;
    server.updates.clear();
    server.sentAtMs.clear();
    for (const std::string& step : c.steps) {
      if (step == "c")
        change(rgn({{0, 0, 4, 4}}));
      else if (step == "r")
        request();
      else if (step == "t")
        timers.processTimers();
      else if (step[0] == '+')
        advanceMs(std::stoi(step.substr(1)));
      else
        EXPECT_EQ(server.updates.size(), size_t(std::stoi(step.substr(1)))) << "at " << nowMs();
    }
    EXPECT_EQ(server.sentAtMs, c.sentAtMs);
  }
}

TEST_F(UpdateSchedulerTest, ChangesWhileStoppedAreDeliveredAfterStartAndRequest) {
  change(rgn({{0, 0, 8, 8}}));
  advanceMs(5);
  change(rgn({{30, 30, 40, 40}}));
  advanceMs(5);
  EXPECT_TRUE(server.updates.empty());
  EXPECT_EQ(0, desktop.prepared);

  scheduler.setServer(&server);
  EXPECT_TRUE(server.updates.empty()) << "starting alone sends nothing";
  request();
  ASSERT_EQ(1u, server.updates.size());
  EXPECT_TRUE(server.updates[0].changed.equals(rgn({{0, 0, 8, 8}, {30, 30, 40, 40}})));

  scheduler.setServer(nullptr);
  change(rgn({{1, 1, 2, 2}}));
  server.updateRequested = true;
  advanceMs(100);
  EXPECT_EQ(1u, server.updates.size()) << "nothing is delivered once stopped again";
}

TEST_F(UpdateSchedulerTest, ExceptionFromTheServerIsLoggedAndTheSchedulerGoesOn) {
  ScopedParam period("UpdatePeriod", "0");
  scheduler.setServer(&server);
  testsupport::LogRecorder log("UpdateScheduler", 0);
  server.throwNext = plat::Exception("grab failed", "XError");
  request();
  scheduler.addCopied(rgn({{10, 0, 20, 10}}), {10, 0});
  change(rgn({{0, 0, 5, 5}}));
  advanceMs(1);
  EXPECT_TRUE(server.updates.empty());
  EXPECT_EQ(std::vector<std::string>{"[XError] grab failed"}, log.texts("UpdateScheduler"));

  // Used to wait for a change elsewhere: the viewers kept the old picture
  // in the failed update's area until then.
  request();
  ASSERT_EQ(1u, server.updates.size()) << "the scheduler goes on after the failure";
  EXPECT_TRUE(server.updates[0].changed.equals(rgn({{0, 0, 5, 5}, {10, 0, 20, 10}})));
  EXPECT_TRUE(server.updates[0].copied.isEmpty());
}

} // namespace
} // namespace svr
