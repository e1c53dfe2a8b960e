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

// Records the limit each wait was given instead of waiting; `result` and
// `error` say what the wait reports.
class RecordingManager : public FdSelectManager {
public:
  std::vector<std::optional<long>> limitsMs;  // nullopt: no limit
  int result = 0;
  int error = 0;

protected:
  int waitForEvents(int nfds, fd_set* read, fd_set* write, fd_set* except,
                    timeval* timeout) override {
    limitsMs.push_back(timeout ? std::optional<long>(timeout->tv_sec * 1000 + timeout->tv_usec / 1000)
                               : std::nullopt);
    if (error) {
      errno = error;
      return -1;
    }
    FD_ZERO(read);
    FD_ZERO(write);
    FD_ZERO(except);
    return result;
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
    {-1, INT_MAX - 1, INT_MAX, true},
    {100, 5, 6, true},
    {3, 5, 4, false},             // the request is earlier
    {5, 5, 6, false},             // a tie keeps the request
    {0, 5, 0, false},
    {0, -1, 0, false},
    {250, -1, 251, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "requested " << c.requested << " timer " << c.timer);
    auto limit = FdSelectManager::waitLimit(c.requested, c.timer);
    EXPECT_EQ(limit.ms, c.expectedMs);
    EXPECT_EQ(limit.byTimer, c.byTimer);
  }
}

TEST(FdSelectManagerTest, NoTimersAndNoRequestsWaitWithoutLimit) {
  RecordingManager manager;
  EXPECT_FALSE(manager.processEvents(-1));
  ASSERT_EQ(manager.limitsMs.size(), 1u);
  EXPECT_FALSE(manager.limitsMs[0].has_value());
}

TEST(FdSelectManagerTest, DueTimerGivesZeroWaitAndFires) {
  RecordingManager manager;
  Fired callback;
  plat::Timer timer(callback);
  timer.start(0);
  EXPECT_TRUE(manager.processEvents(-1));
  ASSERT_EQ(manager.limitsMs.size(), 1u);
  EXPECT_EQ(manager.limitsMs[0], 0);
  EXPECT_EQ(callback.count, 1);
}

TEST(FdSelectManagerTest, FutureTimerGivesItsDistancePlusOneMillisecond) {
  RecordingManager manager;
  Fired callback;
  plat::Timer timer(callback);
  timer.start(100000);
  EXPECT_TRUE(manager.processEvents(-1));
  ASSERT_EQ(manager.limitsMs.size(), 1u);
  ASSERT_TRUE(manager.limitsMs[0].has_value());
  // Time passes between start and wait, so only the bounds are exact.
  EXPECT_LE(*manager.limitsMs[0], 100001);
  EXPECT_GT(*manager.limitsMs[0], 90000);
  EXPECT_EQ(callback.count, 0);
}

TEST(FdSelectManagerTest, RequestedPassDoesNotBlockAndCallsTheHandler) {
  RecordingManager manager;
  Recorder handler;
  manager.addHandler(handler);
  manager.requestRead(handler);
  manager.requestWrite(handler);
  manager.processEvents(-1);
  EXPECT_EQ(manager.limitsMs.back(), 0);
  EXPECT_EQ(handler.reads, 1);
  EXPECT_EQ(handler.writes, 1);
  manager.removeHandler(handler);
}

TEST(FdSelectManagerTest, ReadinessRequestedDuringAPassRunsInTheNextPass) {
  RecordingManager manager;
  Recorder handler;
  manager.addHandler(handler);
  handler.onRead = [&] { manager.requestRead(handler); };
  manager.requestRead(handler);
  manager.processEvents(-1);
  EXPECT_EQ(handler.reads, 1);
  manager.processEvents(-1);
  EXPECT_EQ(handler.reads, 2);
  // The request made in the pass set the dispatch timer: no blocking wait.
  EXPECT_EQ(manager.limitsMs.back(), 0);
  manager.removeHandler(handler);
}

TEST(FdSelectManagerTest, InterruptedWaitStillRunsTimersAndRequests) {
  RecordingManager manager;
  manager.error = EINTR;
  Recorder handler;
  manager.addHandler(handler);
  Fired callback;
  plat::Timer timer(callback);
  timer.start(0);
  manager.requestWrite(handler);
  manager.processEvents(-1);
  EXPECT_EQ(callback.count, 1);
  EXPECT_EQ(handler.writes, 1);
  manager.removeHandler(handler);
}

TEST(FdSelectManagerTest, FailedWaitThrowsSelectError) {
  RecordingManager manager;
  manager.error = EBADF;
  try {
    manager.processEvents(0);
    FAIL() << "no exception";
  } catch (plat::SystemException& e) {
    EXPECT_EQ(e.err(), EBADF);
    EXPECT_STREQ(e.type(), "System-9");
    EXPECT_EQ(std::string(e.str()).rfind("select: ", 0), 0u) << e.str();
  }
}

TEST(FdSelectManagerTest, ClosedDescriptorMakesRealSelectFail) {
  FdSelectManager manager;
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);
  ::close(fds[1]);
  Recorder handler(fds[0]);
  manager.addHandler(handler);
  manager.setEvents(handler, true, false);
  EXPECT_THROW(manager.processEvents(0), plat::SystemException);
  manager.setEvents(handler, false, false);
  manager.removeHandler(handler);
}

TEST(FdSelectManagerTest, ReadableSocketIsDispatchedToHandleRead) {
  FdSelectManager manager;
  auto [ours, peer] = socketPair();
  Recorder handler(ours.get());
  manager.addHandler(handler);
  manager.setEvents(handler, true, false);

  EXPECT_FALSE(manager.processEvents(0));
  EXPECT_EQ(handler.reads, 0);

  ASSERT_EQ(::write(peer.get(), "x", 1), 1);
  EXPECT_TRUE(manager.processEvents(10000));
  EXPECT_EQ(handler.reads, 1);
  EXPECT_EQ(handler.writes, 0);

  manager.setEvents(handler, false, false);
  manager.removeHandler(handler);
}

TEST(FdSelectManagerTest, WritableSocketIsDispatchedToHandleWrite) {
  FdSelectManager manager;
  auto [ours, peer] = socketPair();
  Recorder handler(ours.get());
  manager.addHandler(handler);
  manager.setEvents(handler, false, true);
  EXPECT_TRUE(manager.processEvents(10000));
  EXPECT_EQ(handler.writes, 1);
  EXPECT_EQ(handler.reads, 0);
  manager.setEvents(handler, false, false);
  manager.removeHandler(handler);
}

TEST(FdSelectManagerTest, PipeReadEndAtEndOfFileIsReadable) {
  FdSelectManager manager;
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  UniqueFd readEnd(fds[0]);
  ::close(fds[1]);
  Recorder handler(readEnd.get());
  manager.addHandler(handler);
  manager.setEvents(handler, true, false);
  manager.processEvents(10000);
  EXPECT_EQ(handler.reads, 1);
  manager.setEvents(handler, false, false);
  manager.removeHandler(handler);
}

// Both handlers are ready in the same pass; whichever runs first takes the
// other out, which must then not be called.
TEST(FdSelectManagerTest, HandlerRemovedDuringThePassIsNotCalled) {
  FdSelectManager manager;
  auto [a, aPeer] = socketPair();
  auto [b, bPeer] = socketPair();
  Recorder first(a.get()), second(b.get());
  for (Recorder* h : {&first, &second}) {
    manager.addHandler(*h);
    manager.setEvents(*h, true, false);
  }
  first.onRead = [&] {
    manager.setEvents(second, false, false);
    manager.removeHandler(second);
  };
  second.onRead = [&] {
    manager.setEvents(first, false, false);
    manager.removeHandler(first);
  };
  ASSERT_EQ(::write(aPeer.get(), "x", 1), 1);
  ASSERT_EQ(::write(bPeer.get(), "x", 1), 1);
  // Make sure both are readable before the pass.
  fd_set set;
  FD_ZERO(&set);
  FD_SET(a.get(), &set);
  FD_SET(b.get(), &set);
  while (true) {
    fd_set ready = set;
    timeval tv{10, 0};
    ASSERT_GT(::select(std::max(a.get(), b.get()) + 1, &ready, nullptr, nullptr, &tv), 0);
    if (FD_ISSET(a.get(), &ready) && FD_ISSET(b.get(), &ready))
      break;
  }
  manager.processEvents(0);
  EXPECT_EQ(first.reads + second.reads, 1);
  for (Recorder* h : {&first, &second}) {
    manager.setEvents(*h, false, false);
    manager.removeHandler(*h);
  }
}

TEST(FdSelectManagerTest, ClearedInterestDuringThePassDropsTheDispatch) {
  RecordingManager manager;
  Recorder first, second;
  manager.addHandler(first);
  manager.addHandler(second);
  first.onWrite = [&] { manager.setEvents(second, true, false); };
  second.onWrite = [&] { manager.setEvents(first, true, false); };
  manager.requestWrite(first);
  manager.requestWrite(second);
  manager.processEvents(-1);
  EXPECT_EQ(first.writes + second.writes, 1);
  manager.removeHandler(first);
  manager.removeHandler(second);
}

TEST(FdSelectManagerTest, RemovedHandlerLosesItsPendingPasses) {
  RecordingManager manager;
  Recorder handler;
  manager.addHandler(handler);
  manager.requestRead(handler);
  manager.requestWrite(handler);
  manager.removeHandler(handler);
  manager.processEvents(-1);
  EXPECT_EQ(handler.reads + handler.writes, 0);
}

TEST(FdSelectManagerTest, DescriptorsBeyondTheSelectLimitAreOnlyCalledOnRequest) {
  RecordingManager manager;
  manager.result = 0;
  Recorder handler(FD_SETSIZE + 10);
  manager.addHandler(handler);
  manager.setEvents(handler, true, true);
  manager.processEvents(0);
  EXPECT_EQ(handler.reads + handler.writes, 0);
  manager.requestRead(handler);
  manager.processEvents(0);
  EXPECT_EQ(handler.reads, 1);
  manager.setEvents(handler, false, false);
  manager.removeHandler(handler);
}

TEST(FdSelectManagerTest, DestructionTellsRegisteredHandlersAndRestoresTheOuterManager) {
  FdSelectManager outer;
  Recorder kept, removed;
  {
    FdSelectManager inner;
    EXPECT_EQ(FdManager::current(), &inner);
    EXPECT_EQ(plat::TimerManager::current(), &inner.timerManager());
    inner.addHandler(kept);
    inner.addHandler(removed);
    inner.removeHandler(removed);
  }
  EXPECT_TRUE(kept.gone);
  EXPECT_FALSE(removed.gone);
  EXPECT_EQ(FdManager::current(), &outer);
  EXPECT_EQ(plat::TimerManager::current(), &outer.timerManager());
}

TEST(FdSelectManagerTest, TimersStartedInANestedManagerRunThere) {
  RecordingManager outer;
  Fired callback;
  {
    RecordingManager inner;
    plat::Timer timer(callback);
    timer.start(0);
    outer.processEvents(0);
    EXPECT_EQ(callback.count, 0);
    inner.processEvents(0);
    EXPECT_EQ(callback.count, 1);
  }
}

} // namespace
} // namespace io
