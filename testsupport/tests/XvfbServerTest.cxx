#include "testsupport/XvfbServer.h"

#include "testsupport/ChildProcess.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>

namespace {

using testsupport::ChildProcess;
using testsupport::ChildResult;
using testsupport::XvfbServer;

// A real X client (from x11-xserver-utils) talking to the server.
ChildResult xrandr(const std::string& display) {
  return ChildProcess::run({"xrandr", "-display", display, "--current"});
}

TEST(XvfbServer, AcceptsClientsOnceConstructed) {
  XvfbServer server;
  EXPECT_EQ(server.displayName(), ":" + std::to_string(server.displayNumber()));
  ChildResult r = xrandr(server.displayName());
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_NE(r.out.find("current 1024 x 768"), std::string::npos) << r.out;
}

TEST(XvfbServer, ParallelServersGetTheirOwnDisplays) {
  XvfbServer::Options small;
  small.width = 320;
  small.height = 200;
  XvfbServer first(small);
  XvfbServer second;
  EXPECT_NE(first.displayNumber(), second.displayNumber());
  EXPECT_NE(xrandr(first.displayName()).out.find("current 320 x 200"), std::string::npos);
  EXPECT_NE(xrandr(second.displayName()).out.find("current 1024 x 768"), std::string::npos);
}

TEST(XvfbServer, DisabledExtensionIsMissing) {
  XvfbServer::Options options;
  options.disabledExtensions = {"RANDR"};
  XvfbServer server(options);
  ChildResult r = xrandr(server.displayName());
  EXPECT_NE(r.exitStatus, 0);
  EXPECT_NE(r.err.find("RandR extension missing"), std::string::npos) << r.err;
}

TEST(XvfbServer, StopsAndReapsTheServer) {
  pid_t pid;
  {
    XvfbServer server;
    pid = server.pid();
    ASSERT_GT(pid, 0);
    EXPECT_EQ(kill(pid, 0), 0);
  }
  // Reaped, not a zombie: the process id no longer exists.
  EXPECT_EQ(kill(pid, 0), -1);
  EXPECT_EQ(errno, ESRCH);
}

TEST(XvfbServer, ServerThatCannotStartIsAnErrorWithItsOutput) {
  XvfbServer::Options options;
  options.extraArguments = {"-kwo-no-such-option"};
  try {
    XvfbServer server(options);
    FAIL() << "started anyway";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("-kwo-no-such-option"), std::string::npos) << e.what();
  }
}

TEST(XvfbServer, MissingXvfbIsAnErrorNotASkip) {
  std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
  setenv("PATH", "/nonexistent-kwo-dir", 1);
  std::optional<std::string> error;
  try {
    XvfbServer server;
  } catch (const std::runtime_error& e) {
    error = e.what();
  }
  setenv("PATH", path.c_str(), 1);
  ASSERT_TRUE(error);
  EXPECT_NE(error->find("cannot run Xvfb"), std::string::npos) << *error;
}

TEST(XvfbServer, SharedServerIsExported) {
  XvfbServer& shared = XvfbServer::shared();
  EXPECT_EQ(&XvfbServer::shared(), &shared);
  ASSERT_NE(std::getenv("DISPLAY"), nullptr);
  EXPECT_EQ(std::string(std::getenv("DISPLAY")), shared.displayName());
  EXPECT_EQ(xrandr("").exitStatus, 0);
}

} // namespace
