// The X server fixtures of the tests fail loudly rather than letting a test
// skip or pass without a server.

#include "testsupport/XvfbServer.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

using testsupport::XvfbServer;

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

} // namespace
