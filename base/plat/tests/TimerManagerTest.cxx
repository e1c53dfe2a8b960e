#include "base/plat/Clock.h"
#include "base/plat/Timer.h"
#include "base/plat/TimerManager.h"
#include "base/plat/tests/TimerTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>

namespace {

using plat::Timer;
using plat::TimerManager;
using plat::ticksPerMs;
using plat_test::FakeClock;
using plat_test::Probe;
using Names = std::vector<std::string>;

constexpr int32_t maxMs = std::numeric_limits<int32_t>::max();

class TimerManagerTest : public ::testing::Test {
protected:
  // A probe owned by the test, started `ms` from now unless `ms` is null.
  Probe& probe(const std::string& name, std::optional<int32_t> ms = std::nullopt) {
    probes_.push_back(std::make_unique<Probe>(name, fired));
    if (ms)
      probes_.back()->timer.start(*ms);
    return *probes_.back();
  }

  FakeClock clock;
  TimerManager manager{false, &clock};
  Names fired;

private:
  std::vector<std::unique_ptr<Probe>> probes_;
};

TEST_F(TimerManagerTest, RandomStartsFireInStableDueOrderNeverEarly) {
  std::mt19937 rng(20240305);
  for (int round = 0; round < 20; round++) {
    SCOPED_TRACE(round);
    fired.clear();
    std::vector<std::pair<int, std::string>> expected; // (period, name) in start order
    for (int i = 0; i < 60; i++) {
      expected.emplace_back(int(rng() % 40), "t" + std::to_string(round) + "." + std::to_string(i));
      probe(expected.back().second, expected.back().first);
    }
    std::stable_sort(expected.begin(), expected.end(),
                     [](const auto& l, const auto& r) { return l.first < r.first; });
    int64_t startTicks = clock.ticks;
    while (manager.processTimers() != -1) {
      int64_t nowMs = (clock.ticks - startTicks) / ticksPerMs;
      ASSERT_LE(fired.size(), expected.size());
      for (size_t i = 0; i < fired.size(); i++)
        ASSERT_LE(expected[i].first, nowMs) << expected[i].second << " fired early";
      clock.advanceMs(1 + rng() % 7);
    }
    Names expectedNames;
    for (const auto& entry : expected)
      expectedNames.push_back(entry.second);
    EXPECT_EQ(fired, expectedNames);
  }
}

TEST_F(TimerManagerTest, WaitTimeRoundsUpAndClamps) {
  EXPECT_EQ(manager.msUntilNext(), -1);
  EXPECT_EQ(manager.processTimers(), -1);
  const std::pair<int64_t, int32_t> cases[] = {{1, 1}, {ticksPerMs + 1, 2}, {0, 0}, {-1, 0}};
  Probe& p = probe("p");
  for (auto [ticksAhead, expectedMs] : cases) {
    clock.ticks = 1000 * ticksPerMs;
    p.timer.start(0);
    clock.ticks -= ticksAhead;
    EXPECT_EQ(manager.msUntilNext(), expectedMs) << ticksAhead;
    EXPECT_EQ(p.timer.remaining(), ticksAhead);
  }
  clock.ticks = 0;
  p.timer.start(maxMs);
  clock.ticks = -10 * ticksPerMs;
  EXPECT_EQ(manager.processTimers(), maxMs);
  EXPECT_TRUE(fired.empty());
  clock.ticks = int64_t(maxMs) * ticksPerMs;
  EXPECT_EQ(manager.processTimers(), 0);
  EXPECT_EQ(fired, (Names{"p"}));
}

TEST_F(TimerManagerTest, StoppingOrRestartingALaterDueTimerInTheSameRunTakesItOut) {
  for (bool restart : {false, true}) {
    SCOPED_TRACE(restart ? "restart" : "stop");
    fired.clear();
    Probe& a = probe("a", 5);
    Probe& b = probe("b", 5);
    a.onFire = [&] {
      restart ? b.timer.start(5) : b.timer.stop();
      return false;
    };
    clock.advanceMs(5);
    EXPECT_EQ(manager.processTimers(), 0);
    EXPECT_EQ(fired, (Names{"a"}));
    clock.advanceMs(5);
    EXPECT_EQ(manager.processTimers(), restart ? 0 : -1);
    EXPECT_EQ(fired, restart ? (Names{"a", "b"}) : (Names{"a"}));
  }
}

TEST_F(TimerManagerTest, PeriodicTimersKeepTheirCadenceButDoNotMakeUpMissedPeriods) {
  // Late by, restarted by the callback at (0: not), next due.
  const std::tuple<int, int32_t, int64_t> cases[] = {{2, 0, 20}, {25, 0, 45}, {0, 50, 60}};
  for (auto [lateMs, restartMs, nextDueMs] : cases) {
    SCOPED_TRACE(testing::Message() << lateMs << " late, restarted at " << restartMs);
    clock.ticks = 0;
    Probe& p = probe("p", 10);
    p.onFire = [&p, restartMs = restartMs] {
      if (restartMs)
        p.timer.start(restartMs);
      return true;
    };
    clock.advanceMs(10 + lateMs);
    EXPECT_EQ(manager.processTimers(), 0);
    EXPECT_EQ(p.timer.dueTime(), nextDueMs * ticksPerMs);
    p.timer.stop();
  }
}

TEST_F(TimerManagerTest, TimersStartedDuringARunWaitForTheNextRun) {
  Probe& a = probe("a", 0);
  Probe& z = probe("z");
  probe("r", 0).onFire = [] { return true; };
  a.onFire = [&] {
    z.timer.start(-1);
    return false;
  };
  EXPECT_EQ(manager.processTimers(), 0);
  EXPECT_EQ(fired, (Names{"a", "r"}));
  EXPECT_EQ(manager.msUntilNext(), 0) << "the wait before the next pass must not block";
  EXPECT_EQ(manager.processTimers(), 0);
  EXPECT_EQ(fired, (Names{"a", "r", "z", "r"})); // z was due 1 ms before r
}

TEST_F(TimerManagerTest, DestroyedOrStoppedTimersAreNeverCalled) {
  Probe& a = probe("a", 1);
  auto queued = std::make_unique<Probe>("queued", fired);
  auto self = std::make_unique<Probe>("self", fired);
  auto listed = std::make_unique<Probe>("listed", fired);
  Probe& stopped = probe("stopped");
  stopped.timer.stop(); // harmless while stopped
  for (Probe* p : {queued.get(), self.get(), &stopped, listed.get()})
    p->timer.start(1);
  probe("c", 1);
  a.onFire = [&] {
    queued.reset();
    return false;
  };
  self->onFire = [&] {
    self.reset();
    return false;
  };
  listed.reset();
  stopped.timer.stop();
  clock.advanceMs(1);
  EXPECT_EQ(manager.processTimers(), 0);
  EXPECT_EQ(fired, (Names{"a", "self", "c"}));
  EXPECT_EQ(manager.processTimers(), -1);
}

// Used to go wrong: timers queued behind a throwing callback stayed marked
// running but were dropped from the queue, so they never fired again.
TEST_F(TimerManagerTest, TimersBehindAThrowingCallbackStayDue) {
  probe("thrower", 1).onFire = []() -> bool { throw std::runtime_error("callback failed"); };
  Probe& next = probe("next", 1);
  clock.advanceMs(1);
  EXPECT_THROW(manager.processTimers(), std::runtime_error);
  EXPECT_TRUE(next.timer.isRunning());
  EXPECT_EQ(manager.msUntilNext(), 0);
  EXPECT_EQ(manager.processTimers(), 0);
  EXPECT_EQ(fired, (Names{"thrower", "next"}));
}

// Clock jumps: the clock is told how far it may move before a reading
// counts as a jump, and a jump restarts every timer from the new "now".

TEST_F(TimerManagerTest, ClockIsGivenTheEarliestDuePlusAllowanceAsLimit) {
  manager.msUntilNext();
  manager.processTimers();
  EXPECT_TRUE(clock.limits.empty()) << "no timer, no reason to read the clock";
  probe("a", 30);
  EXPECT_EQ(clock.limits, std::vector<int64_t>{-1}) << "the first timer passes no limit";
  probe("b", 10);
  clock.limits.clear();
  manager.msUntilNext();
  EXPECT_EQ(clock.limits, std::vector<int64_t>{10 * ticksPerMs + 240 * 1000 * ticksPerMs});
}

TEST_F(TimerManagerTest, JumpsEitherWayRestartEveryTimerFromTheNewNowInStartOrder) {
  Probe& a = probe("a", 20);
  probe("c", 10);
  Probe& b = probe("b", 20);
  a.onFire = [] { return true; };
  clock.jumpTo(1000000 * ticksPerMs);
  EXPECT_EQ(manager.processTimers(), 10) << "overdue timers are restarted, not fired";
  EXPECT_TRUE(fired.empty());
  EXPECT_EQ(a.timer.dueTime(), clock.ticks + 20 * ticksPerMs);

  clock.jumpTo(5 * ticksPerMs);
  EXPECT_EQ(manager.msUntilNext(), 10) << "not the 999995 ms the old due time implies";
  EXPECT_EQ(b.timer.dueTime(), 25 * ticksPerMs);
  clock.advanceMs(20);
  EXPECT_EQ(manager.processTimers(), 0);
  EXPECT_EQ(fired, (Names{"c", "a", "b"}));
}

TEST_F(TimerManagerTest, JumpSeenDuringARunStillFiresTheQueuedTimers) {
  Probe& c = probe("c");
  Probe& listed = probe("listed", 30);
  probe("a", 1).onFire = [&] {
    clock.jumpTo(90000 * ticksPerMs);
    c.timer.start(7); // reads the clock and sees the jump
    return false;
  };
  probe("b", 1);
  clock.advanceMs(1);
  EXPECT_EQ(manager.processTimers(), 0);
  EXPECT_EQ(fired, (Names{"a", "b"}));
  EXPECT_EQ(listed.timer.dueTime(), 90030 * ticksPerMs);
  EXPECT_EQ(c.timer.dueTime(), 90007 * ticksPerMs);
}

// Used to go wrong: the direction was decided by comparing the reading with
// the expected limit the wrong way round, so a backwards jump was logged as
// a forward one.
TEST(TimerJumpMessage, NamesTheDirectionOfTheJump) {
  const char* forwards = "Time has jumped forwards - restarting timers";
  const char* backwards = "Time has moved backwards - restarting timers";
  const std::tuple<int64_t, int64_t, const char*> cases[] = {
    {100, 5000000000, forwards},  {100, 100, forwards}, {INT64_MIN, 0, forwards},
    {5000000000, 100, backwards}, {0, -1, backwards}};
  for (auto [previous, reading, text] : cases)
    EXPECT_STREQ(TimerManager::jumpMessage(previous, reading), text) << previous << " " << reading;
}

} // namespace
