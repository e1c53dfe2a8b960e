#include "base/plat/Clock.h"
#include "base/plat/Sleep.h"

#include <atomic>
#include <csignal>
#include <gtest/gtest.h>
#include <limits>
#include <pthread.h>
#include <thread>

namespace {

using plat::ticksPerMs;

TEST(MonotonicClock, CoarseClockOnlyWhenOneMillisecondOrFiner) {
  struct Case {
    bool known;
    long seconds;
    long nanoseconds;
    bool expected;
  };
  const Case cases[] = {
    {true, 0, 1, true},
    {true, 0, 1000000, true},     // exactly 1 ms
    {true, 0, 1000099, true},     // still 10000 ticks
    {true, 0, 1000100, false},
    {true, 0, 4000000, false},    // HZ=250 kernels
    {true, 1, 0, false},
    {false, 0, 1, false},         // resolution could not be queried
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.known << " " << c.seconds << "s " << c.nanoseconds << "ns");
    timespec res{c.seconds, c.nanoseconds};
    EXPECT_EQ(plat::coarseClockFineEnough(c.known, res), c.expected);
  }
}

TEST(MonotonicClock, RoundsTicksUpToWholeMilliseconds) {
  struct Case {
    int64_t ticks;
    int64_t ms;
  };
  const Case cases[] = {
    {0, 0}, {1, 1}, {ticksPerMs - 1, 1}, {ticksPerMs, 1}, {ticksPerMs + 1, 2},
    {-1, 0}, {-ticksPerMs, -1}, {-ticksPerMs - 1, -1}, {-2 * ticksPerMs + 1, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ticks);
    EXPECT_EQ(plat::ticksToMsRoundedUp(c.ticks), c.ms);
  }
}

TEST(MonotonicClock, NeverGoesBackOnAnyThread) {
  auto check = [] {
    int64_t last = plat::monoTime();
    EXPECT_GE(last, 0);
    for (int i = 0; i < 20000; i++) {
      int64_t now = plat::monoTime();
      ASSERT_GE(now, last);
      last = now;
    }
  };
  std::thread other(check);
  check();
  other.join();
}

int64_t systemMonotonicTicks() {
  timespec ts{};
  EXPECT_EQ(clock_gettime(CLOCK_MONOTONIC, &ts), 0);
  return int64_t(ts.tv_sec) * 10000000 + ts.tv_nsec / 100;
}

TEST(MonotonicClock, CountsHundredNanosecondTicks) {
  // The system readings bracket ours, so only the clock's resolution (1 ms
  // at worst) separates the two elapsed times.
  int64_t systemBefore = systemMonotonicTicks();
  int64_t monoBefore = plat::monoTime();
  plat::sleep(20);
  int64_t monoAfter = plat::monoTime();
  int64_t systemAfter = systemMonotonicTicks();
  EXPECT_GE(monoAfter - monoBefore, 20 * ticksPerMs);
  EXPECT_LE(monoAfter - monoBefore, systemAfter - systemBefore + 2 * ticksPerMs);
}

TEST(Sleep, NothingToWaitForZeroOrNegative) {
  EXPECT_NO_THROW(plat::sleep(0));
  EXPECT_NO_THROW(plat::sleep(-5));
  EXPECT_NO_THROW(plat::sleep(std::numeric_limits<int32_t>::min()));
}

TEST(Sleep, LastsAtLeastTheRequestedTime) {
  int64_t start = plat::monoTime();
  plat::sleep(30);
  EXPECT_GE(plat::monoTime() - start, 30 * ticksPerMs);
}

std::atomic<int> signalsSeen{0};

void countSignal(int) {
  signalsSeen++;
}

TEST(Sleep, SignalsDoNotCutItShort) {
  struct sigaction action{};
  struct sigaction previous{};
  action.sa_handler = countSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0; // no SA_RESTART: select() returns EINTR
  ASSERT_EQ(sigaction(SIGUSR2, &action, &previous), 0);

  pthread_t sleeper = pthread_self();
  std::atomic<bool> done{false};
  signalsSeen = 0;
  std::thread kicker([&] {
    while (!done) {
      pthread_kill(sleeper, SIGUSR2);
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
  });
  int64_t start = plat::monoTime();
  plat::sleep(60);
  int64_t elapsed = plat::monoTime() - start;
  done = true;
  kicker.join();
  sigaction(SIGUSR2, &previous, nullptr);

  EXPECT_GT(signalsSeen.load(), 0) << "the wait was never interrupted; the test proves nothing";
  EXPECT_GE(elapsed, 60 * ticksPerMs);
}

} // namespace
