// The X server fixtures of the tests: they really serve, really stop, and
// fail loudly rather than letting a test skip or pass without a server.

#include "testsupport/ChildProcess.h"
#include "testsupport/XorgDummyServer.h"
#include "testsupport/XvfbServer.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <sys/stat.h>

namespace {

using testsupport::XorgDummyServer;
using testsupport::XvfbServer;

template <class Server>
void servesAndStopsAndReaps(const typename Server::Options& options, int width, int height) {
  pid_t pid;
  {
    Server server(options);
    pid = server.pid();
    // A real X client (from x11-xserver-utils) talking to the server.
    testsupport::ChildResult r =
      testsupport::ChildProcess::run({"xrandr", "-display", server.displayName(), "--current"});
    std::string size = "current " + std::to_string(width) + " x " + std::to_string(height);
    EXPECT_NE(r.out.find(size), std::string::npos) << r.out << r.err;
  }
  // Reaped, not a zombie: the process id no longer exists.
  EXPECT_EQ(kill(pid, 0), -1);
  EXPECT_EQ(errno, ESRCH);
}

TEST(XServer, ServesAsAskedThenStopsAndReaps) {
  XvfbServer::Options small;
  small.width = 320;
  small.height = 200;
  servesAndStopsAndReaps<XvfbServer>(small, 320, 200);
  XorgDummyServer::Options two;
  two.outputs = {{"800x600", 0, 0}, {"640x480", 800, 0}};
  servesAndStopsAndReaps<XorgDummyServer>(two, 1440, 600);
}

TEST(XServer, AServerThatCannotStartIsAnErrorWithItsOutput) {
  XvfbServer::Options options;
  options.extraArguments = {"-kwo-no-such-option"};
  EXPECT_THROW(
    try { XvfbServer server(options); } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find("-kwo-no-such-option"), std::string::npos) << e.what();
      throw;
    },
    std::runtime_error);
  // A missing program is an error too, never a skip.
  std::string path = std::getenv("PATH");
  setenv("PATH", "/nonexistent-kwo-dir", 1);
  EXPECT_THROW(XvfbServer server, std::runtime_error);
  setenv("PATH", path.c_str(), 1);
}

TEST(XServer, TheSharedServerIsExported) {
  EXPECT_EQ(&XvfbServer::shared(), &XvfbServer::shared());
  EXPECT_EQ(std::string(std::getenv("DISPLAY")), XvfbServer::shared().displayName());
}

} // namespace
