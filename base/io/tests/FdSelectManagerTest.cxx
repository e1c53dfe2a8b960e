#include "base/io/FdHandler.h"
#include "base/io/FdSelectManager.h"
#include "base/io/UniqueFd.h"
#include "base/plat/Exception.h"
#include "base/plat/Timer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <functional>
#include <optional>
#include <sys/socket.h>
#include <unistd.h>

namespace io {
namespace {

// Records the limit each wait was given instead of waiting; `error` says
// what the wait reports.
class RecordingManager : public FdSelectManager {
public:
  std::vector<std::optional<long>> limitsMs; // nullopt: no limit
  int error = 0;

protected:
  int waitForEvents(int, fd_set* read, fd_set* write, fd_set* except, timeval* timeout) override {
    limitsMs.push_back(timeout
                         ? std::optional<long>(timeout->tv_sec * 1000 + timeout->tv_usec / 1000)
                         : std::nullopt);
    FD_ZERO(read);
    FD_ZERO(write);
    FD_ZERO(except);
    errno = error;
    return error ? -1 : 0;
  }
};

class Recorder : public FdHandler {
public:
  explicit Recorder(int fd = -1) : FdHandler(fd) {}
  int reads = 0;
  int writes = 0;
  bool gone = false;
  std::function<void()> onRead;
  std::function<void()> onWrite;

  void handleRead() override {
    reads++;
    if (onRead)
      onRead();
  }
  void handleWrite() override {
    writes++;
    if (onWrite)
      onWrite();
  }
  void fdManagerGone() override { gone = true; }
};

class Fired : public plat::Timer::Callback {
public:
  int count = 0;
  bool timerFired(plat::Timer&) override {
    count++;
    return false;
  }
};

std::pair<UniqueFd, UniqueFd> socketPair() {
  int fds[2];
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

void forget(FdSelectManager& manager, Recorder& handler) {
  manager.setEvents(handler, false, false);
  manager.removeHandler(handler);
}

TEST(FdSelectManagerTest, WaitLimitTable) {
  struct Case {
    int requested, timer, expectedMs;
    bool byTimer;
  };
  const Case cases[] = {
    {-1, -1, -1, false},          // no timers, no limit: block
    {-1, 0, 0, true},             // a due timer: zero wait, nothing added
    {-1, 5, 6, true},             // rounded up by 1 ms
    {-1, INT_MAX, INT_MAX, true}, // the largest limit is used unchanged
    {100, 5, 6, true},
    {3, 5, 4, false}, // the request is earlier
    {5, 5, 6, false}, // a tie keeps the request
    {250, -1, 251, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "requested " << c.requested << " timer " << c.timer);
    auto limit = FdSelectManager::waitLimit(c.requested, c.timer);
    EXPECT_EQ(limit.ms, c.expectedMs);
    EXPECT_EQ(limit.byTimer, c.byTimer);
  }
}

TEST(FdSelectManagerTest, WaitsAsLongAsTheTimersAllowAndOnlyAnInterruptedWaitGoesOn) {
  RecordingManager manager;
  Recorder handler;
  manager.addHandler(handler);
  EXPECT_FALSE(manager.processEvents(-1));
  Fired callback;
  plat::Timer due(callback), later(callback);
  later.start(100000);
  EXPECT_TRUE(manager.processEvents(-1));
  due.start(0);
  manager.requestWrite(handler);
  manager.error = EINTR;
  EXPECT_TRUE(manager.processEvents(-1));
  ASSERT_EQ(manager.limitsMs.size(), 3u);
  EXPECT_FALSE(manager.limitsMs[0].has_value()) << "no timers: no limit";
  // Time passes between start and wait, so only the bounds are exact.
  EXPECT_LE(manager.limitsMs[1].value_or(0), 100001);
  EXPECT_GT(manager.limitsMs[1].value_or(0), 90000);
  EXPECT_EQ(manager.limitsMs[2], 0);
  EXPECT_EQ(callback.count, 1);
  EXPECT_EQ(handler.writes, 1);
  manager.removeHandler(handler);
  manager.error = EBADF;
  try {
    manager.processEvents(0);
    ADD_FAILURE() << "a failed wait other than an interruption throws";
  } catch (plat::SystemException& e) {
    EXPECT_EQ(e.err(), EBADF);
    EXPECT_EQ(std::string(e.str()).rfind("select: ", 0), 0u) << e.str();
  }
}

TEST(FdSelectManagerTest, RequestedPassesDoNotBlockAndRunInTheNextPass) {
  RecordingManager manager;
  Recorder handler;
  manager.addHandler(handler);
  handler.onRead = [&] { manager.requestRead(handler); };
  manager.requestRead(handler);
  manager.requestWrite(handler);
  manager.processEvents(-1);
  EXPECT_EQ(manager.limitsMs.back(), 0);
  EXPECT_EQ(handler.reads, 1);
  EXPECT_EQ(handler.writes, 1);
  manager.processEvents(-1);
  EXPECT_EQ(handler.reads, 2) << "requested during a pass: run in the next one";
  EXPECT_EQ(manager.limitsMs.back(), 0);
  manager.removeHandler(handler);
}

// Both handlers are ready in the same pass; whichever runs first takes the
// other out, which must then not be called.
TEST(FdSelectManagerTest, ReadyDescriptorsAreDispatchedUnlessRemovedDuringThePass) {
  FdSelectManager manager;
  auto [a, aPeer] = socketPair();
  auto [b, bPeer] = socketPair();
  Recorder first(a.get()), second(b.get());
  for (Recorder* h : {&first, &second}) {
    manager.addHandler(*h);
    manager.setEvents(*h, true, false);
  }
  EXPECT_FALSE(manager.processEvents(0));
  first.onRead = [&] { forget(manager, second); };
  second.onRead = [&] { forget(manager, first); };
  // A Unix socket's data is readable at the other end as soon as it is written.
  ASSERT_EQ(::write(aPeer.get(), "x", 1), 1);
  ASSERT_EQ(::write(bPeer.get(), "x", 1), 1);
  EXPECT_TRUE(manager.processEvents(0));
  EXPECT_EQ(first.reads + second.reads, 1);
  EXPECT_EQ(first.writes + second.writes, 0);
  Recorder& left = first.reads ? first : second;
  manager.setEvents(left, false, true);
  EXPECT_TRUE(manager.processEvents(10000));
  EXPECT_EQ(left.reads, 1) << "read interest cleared";
  EXPECT_EQ(left.writes, 1);
  forget(manager, left);
}

TEST(FdSelectManagerTest, ClearedInterestOrRemovalDropsPendingPasses) {
  RecordingManager manager;
  Recorder first, second, removed;
  for (Recorder* h : {&first, &second, &removed})
    manager.addHandler(*h);
  first.onWrite = [&] { manager.setEvents(second, true, false); };
  second.onWrite = [&] { manager.setEvents(first, true, false); };
  manager.requestWrite(first);
  manager.requestWrite(second);
  manager.requestRead(removed);
  manager.requestWrite(removed);
  manager.removeHandler(removed);
  manager.processEvents(-1);
  EXPECT_EQ(first.writes + second.writes, 1);
  EXPECT_EQ(removed.reads + removed.writes, 0);
  forget(manager, first);
  forget(manager, second);
}

TEST(FdSelectManagerTest, NestedManagersTakeOverAndGiveBack) {
  RecordingManager outer;
  Recorder kept, removed;
  Fired callback;
  {
    RecordingManager inner;
    EXPECT_EQ(FdManager::current(), &inner);
    EXPECT_EQ(plat::TimerManager::current(), &inner.timerManager());
    inner.addHandler(kept);
    inner.addHandler(removed);
    inner.removeHandler(removed);
    plat::Timer timer(callback);
    timer.start(0);
    outer.processEvents(0);
    EXPECT_EQ(callback.count, 0) << "a timer runs in the manager it was started under";
    inner.processEvents(0);
    EXPECT_EQ(callback.count, 1);
  }
  EXPECT_TRUE(kept.gone) << "registered handlers are told";
  EXPECT_FALSE(removed.gone);
  EXPECT_EQ(FdManager::current(), &outer);
  EXPECT_EQ(plat::TimerManager::current(), &outer.timerManager());
}

} // namespace
} // namespace io
