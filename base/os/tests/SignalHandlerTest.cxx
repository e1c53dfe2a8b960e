// Every test runs in a forked child: signal dispositions, the loop singleton
// and the log setting of one test must not leak into another.

#include "base/io/FdSelectManager.h"
#include "base/os/AppLoop.h"
#include "base/os/AppLoopImpl.h"
#include "base/os/SignalHandler.h"
#include "base/os/SignalHandlerApp.h"
#include "base/plat/LogSetting.h"
#include "base/plat/LogSrc.h"
#include "base/plat/Timer.h"
#include "testsupport/ForkedChild.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <string>

namespace os {
namespace {

using testsupport::ForkedChild;

plat::LogSrc appLog("SignalTestApp");

// Appends "<name><signal> " to the child's standard error, which the parent
// compares as the trace of calls.
class Tracer : public SignalHandler::Callback {
public:
  explicit Tracer(const char* name) : name_(name) {}
  std::function<void()> then;
  void handleSignal(int signal) override {
    std::fprintf(stderr, "%s%d ", name_, signal);
    if (then)
      then();
  }

private:
  const char* name_;
};

// Tells the parent, once the loop runs, that it is ready.
class ReadyTimer : public plat::Timer::Callback {
public:
  explicit ReadyTimer(int toParent) : toParent_(toParent) {}
  bool timerFired(plat::Timer&) override {
    ForkedChild::sendLine(toParent_, "ready");
    return false;
  }

private:
  int toParent_;
};

// The agent's arrangement: the default loop, the application's handler for
// SIGINT and SIGTERM, logging to standard error (or no log source). Stays in
// the loop until a signal ends it.
int runAgentLikeLoop(int toParent, bool withLog) {
  AppLoop loop;
  plat::setLogSetting("*:stderr:100");
  SignalHandlerApp app(withLog ? &appLog : nullptr);
  SignalHandler::instance().setCallback(SIGINT, app, true);
  SignalHandler::instance().setCallback(SIGTERM, app, true);
  ReadyTimer ready(toParent);
  plat::Timer timer(ready);
  timer.start(0);
  int code = loop.run();
  std::fprintf(stderr, "run returned %d\n", code);
  return code;
}

TEST(SignalHandlerTest, SigtermAndSigintEndABlockedLoopWithCodeZeroOthersKeepTheirDefault) {
  // Signal, whether the application logs, what it says.
  const std::tuple<int, bool, const char*> cases[] = {
    {SIGTERM, true, "]: SignalTestApp: Got signal SIGTERM\n"},
    {SIGINT, false, nullptr},
    {SIGHUP, true, nullptr},
  };
  for (auto [signal, withLog, said] : cases) {
    SCOPED_TRACE(testing::Message() << signal << (withLog ? " logged" : ""));
    ForkedChild child([withLog = withLog](int up, int) { return runAgentLikeLoop(up, withLog); });
    ASSERT_EQ(child.readLine(), "ready");
    // The loop is now blocked in select() without a time limit.
    ASSERT_TRUE(child.waitSleeping());
    ASSERT_EQ(::kill(child.pid(), signal), 0);
    int status = child.wait();
    const std::string& err = child.errorOutput();
    EXPECT_EQ(status, signal == SIGHUP ? -SIGHUP : 0);
    if (signal == SIGHUP)
      continue;
    EXPECT_NE(err.find("run returned 0\n"), std::string::npos) << err;
    EXPECT_EQ(err.find("Got signal") != std::string::npos, said != nullptr) << err;
    if (said) {
      EXPECT_NE(err.find(said), std::string::npos) << err;
    }
  }
  EXPECT_EQ(SignalHandler::signalName(0), nullptr);
  EXPECT_EQ(SignalHandler::signalName(32), nullptr);
}

const char* disposition(int signal) {
  struct sigaction action {};
  sigaction(signal, nullptr, &action);
  return action.sa_handler == SIG_DFL ? "default " : "caught ";
}

TEST(SignalHandlerTest, DeliveriesRunCallbacksLatestFirstBlockersHoldThemAResetRestoresDefaults) {
  ForkedChild child([](int, int) {
    io::FdSelectManager manager;
    SignalHandler& handler = SignalHandler::instance();
    Tracer a("a"), b("b"), other("o");
    handler.setCallback(SIGUSR1, a, true);
    handler.setCallback(SIGUSR1, a, true);
    handler.setCallback(SIGUSR2, other, true);
    handler.setCallback(SIGUSR1, b, true);
    std::raise(SIGUSR1);
    std::raise(SIGUSR2);
    std::raise(SIGUSR1);
    manager.processEvents(10000); // duplicates are called for each entry
    handler.setCallback(SIGUSR1, a, false); // every equal entry goes
    std::fprintf(stderr, "%s", disposition(SIGUSR1));
    std::raise(SIGUSR1);
    manager.processEvents(10000);
    handler.setCallback(SIGUSR1, b, false);
    handler.setCallback(SIGUSR1, a, true);
    handler.setCallback(SIGUSR1, b, true);
    b.then = [&] { handler.setCallback(SIGUSR1, a, false); };
    std::raise(SIGUSR1);
    manager.processEvents(10000);
    handler.setCallback(SIGUSR1, b, false);
    std::fprintf(stderr, "%s", disposition(SIGUSR1));
    // A blocker holds registered signals until it is released.
    handler.setCallback(SIGUSR1, a, true);
    {
      SignalHandler::Blocker blocker;
      std::raise(SIGUSR1);
      sigset_t pending;
      sigpending(&pending);
      std::fprintf(stderr, "%s ", sigismember(&pending, SIGUSR1) ? "pending" : "lost");
      manager.processEvents(0);
    }
    manager.processEvents(10000);
    // Reset, the defaults are back and a registration is refused.
    handler.resetDispositions();
    std::fprintf(stderr, "%s", disposition(SIGUSR1));
    plat::setLogSetting("Assert:stderr:0");
    handler.setCallback(SIGUSR2, a, true);
    return 0;
  });
  EXPECT_EQ(child.wait(), -SIGABRT);
  const std::string& trace = child.errorOutput();
  EXPECT_TRUE(
    trace.starts_with("b10 a10 a10 o12 b10 a10 a10 caught b10 b10 default pending a10 default "))
    << trace;
  EXPECT_NE(trace.find("Assertion '!disabled' failed"), std::string::npos) << trace;
}

} // namespace
} // namespace os
