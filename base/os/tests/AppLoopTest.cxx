#include "base/io/FdSelectManager.h"
#include "base/os/AppLoop.h"
#include "base/os/AppLoopImpl.h"
#include "base/plat/Exception.h"
#include "base/plat/LogSetting.h"
#include "base/plat/Timer.h"

#include <gtest/gtest.h>

#include <functional>

namespace os {
namespace {

// A timer callback that runs `body`, started at once.
class Action : public plat::Timer::Callback {
public:
  explicit Action(std::function<void()> body) : body_(std::move(body)) { timer_.start(0); }
  int fired = 0;
  bool timerFired(plat::Timer&) override {
    fired++;
    body_();
    return false;
  }

private:
  std::function<void()> body_;
  plat::Timer timer_{*this};
};

class AppLoopTest : public testing::Test {
protected:
  io::FdSelectManager manager;
  AppLoop loop{std::make_unique<AppLoopImpl>(manager)};
};

TEST_F(AppLoopTest, QuitEndsRunAfterTheCurrentPassWithTheLastCodeAndRunMayFollow) {
  EXPECT_EQ(AppLoop::instance(), &loop);
  {
    Action first([] { AppLoop::quit(3); });
    Action second([&] {
      EXPECT_TRUE(loop.isRunning());
      AppLoop::quit(5);
    });
    EXPECT_EQ(loop.run(), 5);
    EXPECT_EQ(first.fired + second.fired, 2);
  }
  EXPECT_FALSE(loop.isRunning());
  EXPECT_EQ(AppLoop::exitCode(), 5);
  EXPECT_FALSE(plat::isLogStartup()) << "the first run ends the start-up phase of logging";
  {
    Action fail([] { throw plat::Exception("broken", "Test"); });
    EXPECT_THROW(loop.run(), plat::Exception);
  }
  EXPECT_FALSE(loop.isRunning()) << "an escaping exception clears the running flag";
  Action again([] { AppLoop::quit(2); });
  EXPECT_EQ(loop.run(), 2);
}

} // namespace
} // namespace os
