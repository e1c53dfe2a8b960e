#include "ChildProcess.h"

#include "base/io/FdSelectManager.h"
#include "base/os/AppLoop.h"
#include "base/os/AppLoopImpl.h"
#include "base/os/SignalHandler.h"
#include "base/os/SignalHandlerApp.h"
#include "base/plat/LogSetting.h"
#include "base/plat/LogSrc.h"
#include "base/plat/Timer.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <string>

namespace os {
namespace {

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

class ReadyTimer : public plat::Timer::Callback {
public:
  bool timerFired(plat::Timer&) override {
    test::ChildProcess::signalReady();
    return false;
  }
};

// The agent's arrangement: the default loop, the application's handler for
// SIGINT and SIGTERM, logging to standard error. Tells the parent once the
// loop runs, then stays in it until a signal ends it.
int runAgentLikeLoop() {
  AppLoop loop;
  plat::setLogSetting("SignalTestApp:stderr:30");
  SignalHandlerApp app(&appLog);
  SignalHandler::instance().setCallback(SIGINT, app, true);
  SignalHandler::instance().setCallback(SIGTERM, app, true);
  ReadyTimer ready;
  plat::Timer timer(ready);
  timer.start(0);
  int code = loop.run();
  std::fprintf(stderr, "run returned %d\n", code);
  return code;
}

void expectSignalEndsTheLoop(int signal, const char* name) {
  test::ChildProcess child(runAgentLikeLoop);
  ASSERT_TRUE(child.waitReady());
  // The loop is now blocked in select() without a time limit.
  ASSERT_TRUE(child.waitSleeping());
  ASSERT_EQ(::kill(child.pid(), signal), 0);
  EXPECT_EQ(child.wait(), 0);
  const std::string& err = child.errorOutput();
  EXPECT_NE(err.find(std::string("]: SignalTestApp: Got signal ") + name + "\n"), std::string::npos) << err;
  EXPECT_NE(err.find("run returned 0\n"), std::string::npos) << err;
}

TEST(SignalHandlerTest, SigtermEndsABlockedLoopWithCodeZero) {
  expectSignalEndsTheLoop(SIGTERM, "SIGTERM");
}

TEST(SignalHandlerTest, SigintEndsABlockedLoopWithCodeZero) {
  expectSignalEndsTheLoop(SIGINT, "SIGINT");
}

TEST(SignalHandlerTest, UnregisteredSignalKeepsItsDefaultAction) {
  test::ChildProcess child(runAgentLikeLoop);
  ASSERT_TRUE(child.waitReady());
  ASSERT_TRUE(child.waitSleeping());
  ASSERT_EQ(::kill(child.pid(), SIGHUP), 0);
  EXPECT_EQ(child.wait(), -SIGHUP);
}

// Runs `body` in a child with a manager current and returns the trace.
std::string traceInChild(std::function<void(io::FdManager&)> body, int* status = nullptr) {
  test::ChildProcess child([&] {
    io::FdSelectManager manager;
    body(manager);
    return 0;
  });
  int code = child.wait();
  if (status)
    *status = code;
  else
    EXPECT_EQ(code, 0) << child.errorOutput();
  return child.errorOutput();
}

TEST(SignalHandlerTest, CallbacksRunLatestRegistrationFirstAndOnlyForTheirSignal) {
  std::string trace = traceInChild([](io::FdManager& manager) {
    Tracer a("a"), b("b"), other("o");
    auto& handler = SignalHandler::instance();
    handler.setCallback(SIGUSR1, a, true);
    handler.setCallback(SIGUSR2, other, true);
    handler.setCallback(SIGUSR1, b, true);
    std::raise(SIGUSR1);
    manager.processEvents(10000);
  });
  EXPECT_EQ(trace, "b10 a10 ");
}

TEST(SignalHandlerTest, EachDeliveredSignalIsDispatchedOnce) {
  std::string trace = traceInChild([](io::FdManager& manager) {
    Tracer a("a");
    auto& handler = SignalHandler::instance();
    handler.setCallback(SIGUSR1, a, true);
    handler.setCallback(SIGUSR2, a, true);
    std::raise(SIGUSR1);
    std::raise(SIGUSR2);
    std::raise(SIGUSR1);
    manager.processEvents(10000);
    manager.processEvents(0);
  });
  EXPECT_EQ(trace, "a10 a12 a10 ");
}

TEST(SignalHandlerTest, DuplicateRegistrationsAreCalledForEachEntry) {
  std::string trace = traceInChild([](io::FdManager& manager) {
    Tracer a("a");
    auto& handler = SignalHandler::instance();
    handler.setCallback(SIGUSR1, a, true);
    handler.setCallback(SIGUSR1, a, true);
    std::raise(SIGUSR1);
    manager.processEvents(10000);
    // Disabling removes every equal entry.
    handler.setCallback(SIGUSR1, a, false);
    struct sigaction action {};
    sigaction(SIGUSR1, nullptr, &action);
    std::fprintf(stderr, "%s", action.sa_handler == SIG_DFL ? "default" : "still caught");
  });
  EXPECT_EQ(trace, "a10 a10 default");
}

TEST(SignalHandlerTest, CallbackRemovedDuringDispatchIsNotCalled) {
  std::string trace = traceInChild([](io::FdManager& manager) {
    Tracer a("a"), b("b");
    auto& handler = SignalHandler::instance();
    handler.setCallback(SIGUSR1, a, true);
    handler.setCallback(SIGUSR1, b, true);
    b.then = [&] { handler.setCallback(SIGUSR1, a, false); };
    std::raise(SIGUSR1);
    manager.processEvents(10000);
  });
  EXPECT_EQ(trace, "b10 ");
}

TEST(SignalHandlerTest, SignalWithAnotherCallbackLeftStaysCaught) {
  std::string trace = traceInChild([](io::FdManager& manager) {
    Tracer a("a"), b("b");
    auto& handler = SignalHandler::instance();
    handler.setCallback(SIGUSR1, a, true);
    handler.setCallback(SIGUSR1, b, true);
    handler.setCallback(SIGUSR1, a, false);
    std::raise(SIGUSR1);
    manager.processEvents(10000);
  });
  EXPECT_EQ(trace, "b10 ");
}

TEST(SignalHandlerTest, BlockerHoldsRegisteredSignalsUntilReleased) {
  std::string trace = traceInChild([](io::FdManager& manager) {
    Tracer a("a");
    auto& handler = SignalHandler::instance();
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
  });
  EXPECT_EQ(trace, "pending a10 ");
}

TEST(SignalHandlerTest, ResetDispositionsRestoresDefaultsAndRefusesRegistrations) {
  int status = 0;
  std::string trace = traceInChild(
    [](io::FdManager&) {
      Tracer a("a");
      auto& handler = SignalHandler::instance();
      handler.setCallback(SIGUSR1, a, true);
      handler.resetDispositions();
      struct sigaction action {};
      sigaction(SIGUSR1, nullptr, &action);
      std::fprintf(stderr, "%s\n", action.sa_handler == SIG_DFL ? "default" : "still caught");
      plat::setLogSetting("Assert:stderr:0");
      handler.setCallback(SIGUSR2, a, true);
    },
    &status);
  EXPECT_EQ(status, -SIGABRT);
  EXPECT_EQ(trace.rfind("default\n", 0), 0u) << trace;
  EXPECT_NE(trace.find("Assertion '!disabled' failed"), std::string::npos) << trace;
}

TEST(SignalHandlerTest, AppHandlerWithoutLogSourceQuitsSilently) {
  test::ChildProcess child([] {
    AppLoop loop;
    plat::setLogSetting("*:stderr:100");
    SignalHandlerApp app;
    SignalHandler::instance().setCallback(SIGTERM, app, true);
    ReadyTimer ready;
    plat::Timer timer(ready);
    timer.start(0);
    return loop.run();
  });
  ASSERT_TRUE(child.waitReady());
  ASSERT_EQ(::kill(child.pid(), SIGTERM), 0);
  EXPECT_EQ(child.wait(), 0);
  EXPECT_EQ(child.errorOutput().find("Got signal"), std::string::npos) << child.errorOutput();
}

TEST(SignalNameTest, TableOfNames) {
  const char* expected[] = {
    "SIGHUP",  "SIGINT",  "SIGQUIT", "SIGILL",    "SIGTRAP", "SIGABRT", "SIGBUS",  "SIGFPE",
    "SIGKILL", "SIGUSR1", "SIGSEGV", "SIGUSR2",   "SIGPIPE", "SIGALRM", "SIGTERM", "SIGSTKFLT",
    "SIGCHLD", "SIGCONT", "SIGSTOP", "SIGTSTP",   "SIGTTIN", "SIGTTOU", "SIGURG",  "SIGXCPU",
    "SIGXFSZ", "SIGVTALRM", "SIGPROF", "SIGWINCH", "SIGIO", "SIGPWR",  "SIGSYS",
  };
  for (int signal = 1; signal <= 31; signal++) {
    SCOPED_TRACE(signal);
    ASSERT_NE(SignalHandler::signalName(signal), nullptr);
    EXPECT_STREQ(SignalHandler::signalName(signal), expected[signal - 1]);
  }
  // The table matches the platform's numbering of the signals the agent uses.
  EXPECT_STREQ(SignalHandler::signalName(SIGINT), "SIGINT");
  EXPECT_STREQ(SignalHandler::signalName(SIGTERM), "SIGTERM");
  for (int signal : {-1, 0, 32, 64, 1000})
    EXPECT_EQ(SignalHandler::signalName(signal), nullptr) << signal;
}

} // namespace
} // namespace os
