#include "base/io/FdKicker.h"
#include "base/io/FdKickerCallback.h"
#include "base/io/FdSelectManager.h"
#include "base/io/PipeKicker.h"
#include "base/plat/Kickee.h"
#include "base/rdr/InStream.h"
#include "testsupport/LoopPump.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace io {
namespace {

class ByteCollector : public FdKickerCallback {
public:
  std::vector<int> bytes;
  int calls = 0;
  void kicked(FdKicker&, rdr::InStream& in) override {
    calls++;
    for (;; in.checkpoint())
      bytes.push_back(in.readU8());
  }
};

class CountingKickee : public plat::Kickee {
public:
  int calls = 0;
  void kicked(plat::Kicker&) override { calls++; }
};

// The scheduler state of a thread of this process ('S' while it sleeps in a
// system call such as select()).
char threadState(pid_t tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  auto close = text.rfind(')');
  return close == std::string::npos || close + 2 >= text.size() ? '?' : text[close + 2];
}

TEST(FdKickerTest, KickedBytesReachTheCallbackInOrderInOnePass) {
  FdSelectManager manager;
  ByteCollector collector;
  FdKicker kicker(collector);
  EXPECT_FALSE(manager.processEvents(0)) << "nothing happens without a kick";
  errno = ENOENT;
  kicker.kick(1);
  EXPECT_EQ(errno, ENOENT) << "a kick keeps errno";
  kicker.kick(15);
  kicker.kick(2);
  manager.processEvents(10000);
  EXPECT_EQ(collector.bytes, (std::vector<int>{1, 15, 2}));
  EXPECT_EQ(collector.calls, 1);
}

TEST(FdKickerTest, KickFromAnotherThreadWakesABlockedWait) {
  FdSelectManager manager;
  ByteCollector collector;
  FdKicker kicker(collector);
  pid_t loopThread = pid_t(::syscall(SYS_gettid));
  std::thread other([&] {
    // Kick only once the loop thread sleeps in its wait (or give up waiting
    // for that after a while and kick anyway).
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (threadState(loopThread) != 'S' && std::chrono::steady_clock::now() < deadline)
      std::this_thread::yield();
    kicker.kick(42);
  });
  // A lost wake-up ends the wait at the limit, with nothing collected.
  manager.processEvents(60000);
  other.join();
  EXPECT_EQ(collector.bytes, std::vector<int>{42});
}

TEST(FdKickerTest, DestroyedManagerIsForgotten) {
  ByteCollector collector;
  std::unique_ptr<FdKicker> kicker;
  {
    FdSelectManager manager;
    kicker = std::make_unique<FdKicker>(collector);
  }
  // Neither the kick nor the destruction may touch the dead manager (ASan).
  kicker->kick(1);
  kicker.reset();
}

TEST(PipeKickerTest, ManyKicksBeforeAPassGiveOneCallAndAnEmptyPipe) {
  FdSelectManager manager;
  CountingKickee kickee;
  PipeKicker kicker(kickee);
  // More than one drain chunk and more than one input buffer.
  for (int i = 0; i < 40000; i++)
    kicker.kick();
  manager.processEvents(10000);
  EXPECT_EQ(kickee.calls, 1);
  EXPECT_FALSE(manager.processEvents(0));
  kicker.kick();
  manager.processEvents(10000);
  EXPECT_EQ(kickee.calls, 2) << "a kick after the call gives another call";
}

TEST(PipeKickerTest, KicksFromOtherThreadsAllEndInACall) {
  FdSelectManager manager;
  CountingKickee kickee;
  PipeKicker kicker(kickee);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++)
    threads.emplace_back([&] {
      for (int i = 0; i < 1000; i++)
        kicker.kick();
    });
  for (auto& thread : threads)
    thread.join();
  EXPECT_TRUE(testsupport::pumpUntil(manager, [&] { return kickee.calls > 0; }));
  EXPECT_FALSE(manager.processEvents(0)) << "everything kicked was drained";
}

} // namespace
} // namespace io
