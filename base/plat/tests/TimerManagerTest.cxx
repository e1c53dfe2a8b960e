#include "base/plat/TimerManager.h"

#include "base/plat/Timer.h"
#include "base/plat/tests/TimerTestSupport.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <limits>
#include <memory>
#include <random>
#include <stdexcept>
#include <thread>

namespace {

using plat::Timer;
using plat::TimerManager;
using plat::ticksPerMs;
using plat_test::FakeClock;
using plat_test::Probe;
using Names = std::vector<std::string>;

class TimerManagerTest : public ::testing::Test {
protected:
  Probe& probe(const std::string& name) {
    probes_.push_back(std::make_unique<Probe>(name, fired));
    return *probes_.back();
  }

  FakeClock clock;
  TimerManager manager{false, &clock};
  Names fired;

private:
  std::vector<std::unique_ptr<Probe>> probes_;
};

TEST_F(TimerManagerTest, FiresInDueOrderWithTiesInStartOrder) {
  Probe& c = probe("c");
  Probe& a = probe("a");
  Probe& b = probe("b");
  Probe& d = probe("d");
  c.timer.start(30);
  a.timer.start(10);
  b.timer.start(10);
  d.timer.start(20);
  clock.advanceMs(30);
  EXPECT_EQ(manager.processTimers(), 0);
  EXPECT_EQ(fired, (Names{"a", "b", "d", "c"}));
  EXPECT_EQ(manager.processTimers(), -1);
}

TEST_F(TimerManagerTest, RandomStartsFireInStableDueOrderAcrossRuns) {
  std::mt19937 rng(20240305);
  for (int round = 0; round < 20; round++) {
    SCOPED_TRACE(round);
    fired.clear();
    std::vector<std::unique_ptr<Probe>> probes;
    std::vector<std::pair<int, std::string>> expected; // (period, name) in start order
    for (int i = 0; i < 60; i++) {
      std::string name = "t" + std::to_string(i);
      int period = int(rng() % 40);
      probes.push_back(std::make_unique<Probe>(name, fired));
      probes.back()->timer.start(period);
      expected.emplace_back(period, name);
    }
    std::stable_sort(expected.begin(), expected.end(),
                     [](const auto& l, const auto& r) { return l.first < r.first; });

    int64_t startTicks = clock.ticks;
    size_t checked = 0;
    while (manager.processTimers() != -1) {
      int64_t nowMs = (clock.ticks - startTicks) / ticksPerMs;
      for (; checked < fired.size(); checked++) {
        auto entry = std::find_if(expected.begin(), expected.end(),
                                  [&](const auto& e) { return e.second == fired[checked]; });
        ASSERT_NE(entry, expected.end());
        EXPECT_LE(entry->first, nowMs) << fired[checked] << " fired early";
      }
      clock.advanceMs(1 + rng() % 7);
    }
    Names expectedNames;
    for (const auto& entry : expected)
      expectedNames.push_back(entry.second);
    EXPECT_EQ(fired, expectedNames);
  }
}

TEST_F(TimerManagerTest, WaitTimeForNoTimerDueTimerAndFutureTimer) {
  EXPECT_EQ(manager.msUntilNext(), -1);
  EXPECT_EQ(manager.processTimers(), -1);

  Probe& future = probe("future");
  future.timer.start(25);
  EXPECT_EQ(manager.msUntilNext(), 25);
  EXPECT_EQ(manager.processTimers(), 25);
  EXPECT_TRUE(fired.empty());

  clock.advanceMs(25);
  EXPECT_EQ(manager.msUntilNext(), 0);
  EXPECT_EQ(manager.processTimers(), 0);
  EXPECT_EQ(fired, (Names{"future"}));
}

TEST_F(TimerManagerTest, WaitTimeRoundsUpAndClamps) {
  struct Case {
    int64_t ticksAhead;
    int32_t expectedMs;
  };
  const Case cases[] = {
    {1, 1},
    {ticksPerMs, 1},
    {ticksPerMs + 1, 2},
    {0, 0},
    {-1, 0},
    {-50 * ticksPerMs, 0},
  };
  Probe& p = probe("p");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ticksAhead);
    clock.ticks = 1000 * ticksPerMs;
    p.timer.start(0);
    clock.ticks -= c.ticksAhead;
    EXPECT_EQ(manager.msUntilNext(), c.expectedMs);
    EXPECT_EQ(p.timer.remaining(), c.ticksAhead);
  }

  clock.ticks = 0;
  p.timer.start(std::numeric_limits<int32_t>::max());
  EXPECT_EQ(manager.msUntilNext(), std::numeric_limits<int32_t>::max());
  clock.ticks = -10 * ticksPerMs;
  EXPECT_EQ(manager.msUntilNext(), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(manager.processTimers(), std::numeric_limits<int32_t>::max());
}

// A negative start is due at once: CallbacksStartAndStopOtherTimers.
TEST_F(TimerManagerTest, StoppingOrRestartingALaterDueTimerInTheSameRunTakesItOut) {
  for (bool restart : {false, true}) {
    SCOPED_TRACE(restart ? "restart" : "stop");
    fired.clear();
    Probe& a = probe("a");
    Probe& b = probe("b");
    a.onFire = [&] {
      if (restart)
        b.timer.start(5);
      else
        b.timer.stop();
      return false;
    };
    a.timer.start(5);
    b.timer.start(5);
    clock.advanceMs(5);
    EXPECT_EQ(manager.processTimers(), 0);
    EXPECT_EQ(fired, (Names{"a"}));
    EXPECT_EQ(b.timer.isRunning(), restart);
    EXPECT_EQ(manager.msUntilNext(), restart ? 5 : -1);
    clock.advanceMs(5);
    EXPECT_EQ(manager.processTimers(), restart ? 0 : -1);
    EXPECT_EQ(fired, restart ? (Names{"a", "b"}) : (Names{"a"}));
  }
}

TEST_F(TimerManagerTest, MissedPeriodsAreNotMadeUp) {
  Probe& p = probe("p");
  p.onFire = [] { return true; };
  p.timer.start(10);
  clock.advanceMs(35); // three periods late
  EXPECT_EQ(manager.processTimers(), 0);
  EXPECT_EQ(fired.size(), 1u);
  EXPECT_EQ(manager.msUntilNext(), 10) << "next firing is one period after the late one";
  EXPECT_EQ(manager.processTimers(), 10);
  EXPECT_EQ(fired.size(), 1u);
  clock.advanceMs(10);
  EXPECT_EQ(manager.processTimers(), 0);
  EXPECT_EQ(fired.size(), 2u);
}

TEST_F(TimerManagerTest, SlightlyLatePeriodicTimerKeepsItsCadence) {
  Probe& p = probe("p");
  p.onFire = [] { return true; };
  p.timer.start(10);
  clock.advanceMs(12);
  EXPECT_EQ(manager.processTimers(), 0);
  EXPECT_EQ(manager.msUntilNext(), 8);
  EXPECT_EQ(p.timer.dueTime(), 20 * ticksPerMs);
}

TEST_F(TimerManagerTest, ZeroMsTimerStartedDuringARunFiresInTheNextRun) {
  Probe& a = probe("a");
  Probe& z = probe("z");
  a.onFire = [&] {
    z.timer.start(0);
    return false;
  };
  a.timer.start(0);
  EXPECT_EQ(manager.processTimers(), 0);
  EXPECT_EQ(fired, (Names{"a"}));
  EXPECT_EQ(manager.msUntilNext(), 0) << "the wait before the next pass must not block";
  EXPECT_EQ(manager.processTimers(), 0);
  EXPECT_EQ(fired, (Names{"a", "z"}));
}

TEST_F(TimerManagerTest, ZeroPeriodRepeatingTimerFiresOncePerRun) {
  Probe& p = probe("p");
  p.onFire = [] { return true; };
  p.timer.start(0);
  for (size_t run = 1; run <= 5; run++) {
    EXPECT_EQ(manager.processTimers(), 0);
    EXPECT_EQ(fired.size(), run);
  }
}

TEST_F(TimerManagerTest, SelfRestartWithNewPeriodKeepsTheNewPeriod) {
  Probe& p = probe("p");
  p.onFire = [&] {
    p.timer.start(50);
    return true;
  };
  p.timer.start(10);
  clock.advanceMs(10);
  EXPECT_EQ(manager.processTimers(), 0);
  EXPECT_EQ(p.timer.period(), 50);
  EXPECT_EQ(p.timer.dueTime(), 60 * ticksPerMs);
  EXPECT_EQ(manager.msUntilNext(), 50);
}

TEST_F(TimerManagerTest, TimerDestroyedWhileListedIsNeverCalled) {
  auto doomed = std::make_unique<Probe>("doomed", fired);
  doomed->timer.start(5);
  doomed.reset();
  EXPECT_EQ(manager.msUntilNext(), -1);
  clock.advanceMs(5);
  EXPECT_EQ(manager.processTimers(), -1);
  EXPECT_TRUE(fired.empty());
}

TEST_F(TimerManagerTest, TimerDestroyedWhileQueuedForFiringIsNeverCalled) {
  Probe& a = probe("a");
  auto doomed = std::make_unique<Probe>("doomed", fired);
  Probe& c = probe("c");
  a.onFire = [&] {
    doomed.reset();
    return false;
  };
  a.timer.start(1);
  doomed->timer.start(1);
  c.timer.start(1);
  clock.advanceMs(1);
  EXPECT_EQ(manager.processTimers(), 0);
  EXPECT_EQ(fired, (Names{"a", "c"}));
}

TEST_F(TimerManagerTest, TimerMayBeDestroyedByItsOwnCallback) {
  auto self = std::make_unique<Probe>("self", fired);
  Probe* raw = self.get();
  raw->onFire = [&] {
    self.reset();
    return false;
  };
  raw->timer.start(0);
  EXPECT_EQ(manager.processTimers(), 0);
  EXPECT_EQ(self, nullptr);
  EXPECT_EQ(manager.processTimers(), -1);
}

TEST_F(TimerManagerTest, CallbacksStartAndStopOtherTimers) {
  Probe& a = probe("a");
  Probe& later = probe("later");
  Probe& fresh = probe("fresh");
  Probe& due = probe("due");
  a.onFire = [&] {
    later.timer.stop();
    fresh.timer.start(3);
    due.timer.start(-1);
    return false;
  };
  a.timer.start(2);
  later.timer.start(4);
  clock.advanceMs(2);
  EXPECT_EQ(manager.processTimers(), 0);
  EXPECT_EQ(fired, (Names{"a"}));
  EXPECT_FALSE(later.timer.isRunning());
  EXPECT_EQ(manager.processTimers(), 0);
  EXPECT_EQ(fired, (Names{"a", "due"}));
  clock.advanceMs(3);
  EXPECT_EQ(manager.processTimers(), 0);
  EXPECT_EQ(fired, (Names{"a", "due", "fresh"}));
  EXPECT_EQ(manager.processTimers(), -1);
}

TEST_F(TimerManagerTest, StopIsHarmlessOnAStoppedTimer) {
  Probe& p = probe("p");
  p.timer.stop();
  p.timer.start(1);
  p.timer.stop();
  p.timer.stop();
  EXPECT_FALSE(p.timer.isRunning());
  EXPECT_EQ(manager.processTimers(), -1);
}

// Used to go wrong: timers queued behind a throwing callback stayed marked
// running but were dropped from the queue, so they never fired again.
TEST_F(TimerManagerTest, TimersBehindAThrowingCallbackStayDue) {
  Probe& thrower = probe("thrower");
  Probe& next = probe("next");
  thrower.onFire = []() -> bool { throw std::runtime_error("callback failed"); };
  thrower.timer.start(1);
  next.timer.start(1);
  clock.advanceMs(1);
  EXPECT_THROW(manager.processTimers(), std::runtime_error);
  EXPECT_EQ(fired, (Names{"thrower"}));
  EXPECT_TRUE(next.timer.isRunning());
  EXPECT_EQ(manager.msUntilNext(), 0);
  EXPECT_EQ(manager.processTimers(), 0);
  EXPECT_EQ(fired, (Names{"thrower", "next"}));
}

TEST_F(TimerManagerTest, ProcessingFromInsideACallbackFiresEveryTimerOnce) {
  Probe& a = probe("a");
  Probe& b = probe("b");
  Probe& c = probe("c");
  a.onFire = [&] {
    manager.processTimers();
    return false;
  };
  a.timer.start(1);
  b.timer.start(1);
  c.timer.start(1);
  clock.advanceMs(1);
  EXPECT_EQ(manager.processTimers(), 0);
  EXPECT_EQ(fired, (Names{"a", "b", "c"}));
}

TEST_F(TimerManagerTest, CurrentIsThisManagerAndNestedOnesStackOnTop) {
  EXPECT_EQ(TimerManager::current(), &manager);
  Probe& outer = probe("outer");
  outer.timer.start(10);
  {
    FakeClock innerClock;
    TimerManager inner(true, &innerClock);
    EXPECT_EQ(TimerManager::current(), &inner);
    Probe& moved = probe("moved");
    Probe& stays = probe("stays");
    moved.timer.start(1);
    stays.timer.start(1);
    EXPECT_EQ(inner.msUntilNext(), 1);
    outer.timer.start(2); // restarting joins the innermost manager
    EXPECT_EQ(manager.msUntilNext(), -1);
    innerClock.advanceMs(2);
    stays.timer.stop();
    stays.timer.start(5);
    EXPECT_EQ(inner.processTimers(), 0);
    EXPECT_EQ(fired, (Names{"moved", "outer"}));
    EXPECT_TRUE(stays.timer.isRunning());
  }
  EXPECT_EQ(TimerManager::current(), &manager);
  EXPECT_EQ(manager.msUntilNext(), -1);
}

TEST_F(TimerManagerTest, DestroyingTheManagerStopsItsTimers) {
  Probe& later = probe("later");
  Probe& due = probe("due");
  FakeClock innerClock;
  auto inner = std::make_unique<TimerManager>(true, &innerClock);
  later.timer.start(100);
  due.timer.start(0);
  inner.reset();
  EXPECT_FALSE(later.timer.isRunning());
  EXPECT_FALSE(due.timer.isRunning());
  EXPECT_EQ(TimerManager::current(), &manager);
  EXPECT_EQ(manager.processTimers(), -1);
}

TEST(TimerManagerDeathTest, StartWithoutCurrentManagerIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::vector<std::string> log;
  Probe p("p", log);
  ASSERT_EQ(TimerManager::current(), nullptr);
  EXPECT_DEATH(p.timer.start(1), "");
}

TEST(TimerManagerDeathTest, SecondManagerMustBeNested) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  TimerManager first;
  EXPECT_DEATH(TimerManager second, "");
  TimerManager nested(true);
  EXPECT_EQ(TimerManager::current(), &nested);
}

TEST(TimerManagerThreads, EachThreadHasItsOwnCurrentManager) {
  TimerManager mine;
  TimerManager* seenByOther = &mine;
  std::thread other([&] {
    seenByOther = TimerManager::current();
    TimerManager theirs;
    EXPECT_EQ(TimerManager::current(), &theirs);
  });
  other.join();
  EXPECT_EQ(seenByOther, nullptr);
  EXPECT_EQ(TimerManager::current(), &mine);
}

TEST(TimerManagerRealClock, ZeroMsTimerIsDueWithoutWaiting) {
  TimerManager manager;
  std::vector<std::string> log;
  Probe p("p", log);
  p.timer.start(0);
  EXPECT_EQ(manager.msUntilNext(), 0);
  EXPECT_EQ(manager.processTimers(), 0);
  EXPECT_EQ(log, (Names{"p"}));
}

} // namespace
