#include "ChildProcess.h"

#include "base/io/FdHandler.h"
#include "base/io/FdSelectManager.h"
#include "base/io/UniqueFd.h"
#include "base/os/AppLoop.h"
#include "base/os/AppLoopImpl.h"
#include "base/plat/Exception.h"
#include "base/plat/LogSetting.h"
#include "base/plat/Timer.h"

#include <gtest/gtest.h>

#include <functional>
#include <sys/socket.h>
#include <unistd.h>

namespace os {
namespace {

class Action : public plat::Timer::Callback {
public:
  explicit Action(std::function<void()> body) : body_(std::move(body)) {}
  int fired = 0;
  bool timerFired(plat::Timer&) override {
    fired++;
    body_();
    return false;
  }

private:
  std::function<void()> body_;
};

class QuitOnRead : public io::FdHandler {
public:
  explicit QuitOnRead(int fd) : FdHandler(fd) {}
  void handleRead() override { AppLoop::quit(11); }
  void handleWrite() override {}
};

class AppLoopTest : public testing::Test {
protected:
  io::FdSelectManager manager;
  AppLoop loop{std::make_unique<AppLoopImpl>(manager)};
};

TEST_F(AppLoopTest, QuitFromATimerEndsRunWithItsCode) {
  Action quit([] { AppLoop::quit(7); });
  plat::Timer timer(quit);
  timer.start(0);
  EXPECT_FALSE(loop.isRunning());
  EXPECT_EQ(loop.run(), 7);
  EXPECT_FALSE(loop.isRunning());
  EXPECT_EQ(AppLoop::exitCode(), 7);
  EXPECT_EQ(AppLoop::instance(), &loop);
}

TEST_F(AppLoopTest, RunEndsAfterTheCurrentPassWithTheLastCode) {
  Action first([] { AppLoop::quit(3); });
  Action second([] { AppLoop::quit(5); });
  plat::Timer timerA(first), timerB(second);
  timerA.start(0);
  timerB.start(0);
  EXPECT_EQ(loop.run(), 5);
  EXPECT_EQ(first.fired, 1);
  EXPECT_EQ(second.fired, 1);
}

TEST_F(AppLoopTest, QuitFromADescriptorCallbackEndsABlockedRun) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  io::UniqueFd ours(fds[0]), peer(fds[1]);
  QuitOnRead handler(ours.get());
  manager.addHandler(handler);
  manager.setEvents(handler, true, false);
  ASSERT_EQ(::write(peer.get(), "q", 1), 1);
  EXPECT_EQ(loop.run(), 11);
  manager.setEvents(handler, false, false);
  manager.removeHandler(handler);
}

TEST_F(AppLoopTest, LoopRunsAgainAfterAQuit) {
  Action quit([] { AppLoop::quit(1); });
  plat::Timer timer(quit);
  timer.start(0);
  EXPECT_EQ(loop.run(), 1);
  Action quitAgain([] { AppLoop::quit(2); });
  plat::Timer second(quitAgain);
  second.start(0);
  EXPECT_EQ(loop.run(), 2);
}

TEST_F(AppLoopTest, EscapingExceptionClearsTheRunningFlag) {
  Action fail([] { throw plat::Exception("broken", "Test"); });
  plat::Timer timer(fail);
  timer.start(0);
  EXPECT_THROW(loop.run(), plat::Exception);
  EXPECT_FALSE(loop.isRunning());
  Action quit([] { AppLoop::quit(0); });
  plat::Timer again(quit);
  again.start(0);
  EXPECT_EQ(loop.run(), 0);
}

TEST_F(AppLoopTest, RunEndsTheLoggingStartUpPhase) {
  Action quit([] { AppLoop::quit(0); });
  plat::Timer timer(quit);
  timer.start(0);
  loop.run();
  EXPECT_FALSE(plat::isLogStartup());
}

TEST_F(AppLoopTest, SecondLoopIsAnAssertion) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
    {
      plat::setLogSetting("Assert:stderr:0");
      AppLoop second{std::make_unique<AppLoopImpl>(manager)};
    },
    "Assertion '!inst' failed");
}

TEST_F(AppLoopTest, QuitWithoutARunningLoopIsAnAssertion) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
    {
      plat::setLogSetting("Assert:stderr:0");
      AppLoop::quit(1);
    },
    "Assertion 'inst && inst->isRunning' failed");
}

TEST_F(AppLoopTest, NestedRunIsAnAssertion) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Action nested([&] { loop.run(); });
  plat::Timer timer(nested);
  EXPECT_DEATH(
    {
      plat::setLogSetting("Assert:stderr:0");
      timer.start(0);
      loop.run();
    },
    "Assertion '!isRunning' failed");
}

TEST(AppLoopDefaultTest, DefaultLoopRunsOverTheProcessWideManager) {
  // In a child: the process-wide manager stays current once built.
  test::ChildProcess child([] {
    AppLoop loop;
    if (io::FdManager::current() != &io::FdSelectManager::instance())
      return 2;
    Action quit([] { AppLoop::quit(4); });
    plat::Timer timer(quit);
    timer.start(0);
    return loop.run() == 4 && AppLoop::instance() == &loop ? 0 : 3;
  });
  EXPECT_EQ(child.wait(), 0) << child.errorOutput();
}

TEST(AppLoopDefaultTest, DestroyedLoopLeavesNoInstance) {
  io::FdSelectManager manager;
  {
    AppLoop loop{std::make_unique<AppLoopImpl>(manager)};
    EXPECT_EQ(AppLoop::instance(), &loop);
  }
  EXPECT_EQ(AppLoop::instance(), nullptr);
  AppLoop another{std::make_unique<AppLoopImpl>(manager)};
  EXPECT_EQ(AppLoop::instance(), &another);
}

} // namespace
} // namespace os
