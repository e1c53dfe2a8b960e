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

std::atomic<int> signalsSeen{0};

void countSignal(int) {
  signalsSeen++;
}

TEST(Sleep, LastsTheRequestedTimeEvenWhenSignalsInterruptIt) {
  EXPECT_NO_THROW(plat::sleep(0));
  EXPECT_NO_THROW(plat::sleep(std::numeric_limits<int32_t>::min()));

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
