#include "base/plat/TimerManager.h"

#include "base/plat/Timer.h"
#include "base/plat/tests/TimerTestSupport.h"

#include <gtest/gtest.h>

namespace {

using plat::TimerManager;
using plat::ticksPerMs;
using plat_test::FakeClock;
using plat_test::Probe;
using Names = std::vector<std::string>;

class TimerJumpTest : public ::testing::Test {
protected:
  FakeClock clock;
  TimerManager manager{false, &clock};
  Names fired;
  Probe a{"a", fired};
  Probe b{"b", fired};
};

TEST_F(TimerJumpTest, ClockIsGivenTheEarliestDuePlusAllowanceAsLimit) {
  manager.msUntilNext();
  manager.processTimers();
  EXPECT_TRUE(clock.limits.empty()) << "no timer, no reason to read the clock";
  a.timer.start(30);
  b.timer.start(10);
  clock.limits.clear();
  manager.msUntilNext();
  ASSERT_EQ(clock.limits.size(), 1u);
  EXPECT_EQ(clock.limits[0], 10 * ticksPerMs + TimerManager::jumpAllowance);
  EXPECT_EQ(TimerManager::jumpAllowance, 240 * 1000 * ticksPerMs);
}

TEST_F(TimerJumpTest, StartingTheFirstTimerPassesNoLimit) {
  a.timer.start(5);
  ASSERT_FALSE(clock.limits.empty());
  EXPECT_EQ(clock.limits.front(), -1);
}

TEST_F(TimerJumpTest, ForwardJumpRestartsEveryTimerFromTheNewNow) {
  a.onFire = [] { return true; };
  a.timer.start(10);
  b.timer.start(50);
  clock.jumpTo(1000000 * ticksPerMs);
  EXPECT_EQ(manager.processTimers(), 10) << "overdue timers are restarted, not fired";
  EXPECT_TRUE(fired.empty());
  EXPECT_EQ(a.timer.dueTime(), clock.ticks + 10 * ticksPerMs);
  EXPECT_EQ(b.timer.dueTime(), clock.ticks + 50 * ticksPerMs);
}

TEST_F(TimerJumpTest, BackwardJumpRestartsEveryTimerFromTheNewNow) {
  clock.ticks = 100000 * ticksPerMs;
  a.timer.start(10);
  b.timer.start(50);
  clock.jumpTo(5 * ticksPerMs);
  EXPECT_EQ(manager.msUntilNext(), 10) << "not the 99995 ms the old due time implies";
  EXPECT_EQ(b.timer.dueTime(), 55 * ticksPerMs);
  clock.advanceMs(10);
  EXPECT_EQ(manager.processTimers(), 0);
  EXPECT_EQ(fired, (Names{"a"}));
}

TEST_F(TimerJumpTest, RestartKeepsStartOrderForEqualPeriods) {
  Probe c{"c", fired};
  b.timer.start(20);
  c.timer.start(10);
  a.timer.start(20);
  clock.jumpTo(777 * ticksPerMs);
  manager.msUntilNext();
  clock.advanceMs(20);
  EXPECT_EQ(manager.processTimers(), 0);
  EXPECT_EQ(fired, (Names{"c", "b", "a"}));
}

TEST_F(TimerJumpTest, PeriodicTimerFiredInAJumpedRunIsDueOnePeriodAfterTheNewNow) {
  a.onFire = [] { return true; };
  a.timer.start(-5); // due at once, even after the restart
  clock.jumpTo(400 * ticksPerMs);
  EXPECT_EQ(manager.processTimers(), 0);
  EXPECT_EQ(fired, (Names{"a"}));
  EXPECT_EQ(a.timer.dueTime(), clock.ticks - 5 * ticksPerMs);
}

TEST_F(TimerJumpTest, JumpSeenDuringARunStillFiresTheQueuedTimers) {
  Probe c{"c", fired};
  Probe listed{"listed", fired};
  a.onFire = [&] {
    clock.jumpTo(90000 * ticksPerMs);
    c.timer.start(7); // reads the clock and sees the jump
    return false;
  };
  a.timer.start(1);
  b.timer.start(1);
  listed.timer.start(30);
  clock.advanceMs(1);
  EXPECT_EQ(manager.processTimers(), 0);
  EXPECT_EQ(fired, (Names{"a", "b"}));
  EXPECT_EQ(listed.timer.dueTime(), 90000 * ticksPerMs + 30 * ticksPerMs);
  EXPECT_EQ(c.timer.dueTime(), 90000 * ticksPerMs + 7 * ticksPerMs);
}

TEST_F(TimerJumpTest, MonotonicClockNeverReportsAJump) {
  plat::Clock& mono = plat::Clock::monotonic();
  for (int i = 0; i < 100; i++)
    EXPECT_FALSE(mono.read(i % 2 ? -1 : 0).jumped);
}

// Used to go wrong: the direction was decided by comparing the reading with
// the expected limit the wrong way round, so a backwards jump was logged as
// a forward one.
TEST(TimerJumpMessage, NamesTheDirectionOfTheJump) {
  struct Case {
    int64_t previous;
    int64_t reading;
    const char* text;
  };
  const Case cases[] = {
    {100, 5000000000, "Time has jumped forwards - restarting timers"},
    {100, 100, "Time has jumped forwards - restarting timers"},
    {INT64_MIN, 0, "Time has jumped forwards - restarting timers"},
    {5000000000, 100, "Time has moved backwards - restarting timers"},
    {0, -1, "Time has moved backwards - restarting timers"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.previous << " -> " << c.reading);
    EXPECT_STREQ(TimerManager::jumpMessage(c.previous, c.reading), c.text);
  }
}

} // namespace
