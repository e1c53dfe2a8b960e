#pragma once

// Private X servers for the screen-grabbing tests. The toolkit holds one
// display connection per process and never closes it, so a test that needs a
// server of its own (another depth, no MIT-SHM, a server running as another
// user) runs its body in a fresh copy of this test binary, started with
// --gtest_filter naming that one test and the server's name in the
// environment. The parent starts each kind of server once and reports the
// child's failures with the child's own output.

#include "uilibs/tx/TXUtil.h"

#include "testsupport/ChildProcess.h"
#include "testsupport/TempDir.h"
#include "testsupport/XvfbServer.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace grabtest {

enum class ServerKind {
  depth24,
  depth16,
  depth8,
  noShm,
  // Runs as the user nobody (when the tests run as root), so that it may
  // not attach segments that still belong to the test's user.
  nobody,
};

constexpr int screenWidth = 320;
constexpr int screenHeight = 240;
constexpr uid_t nobodyUid = 65534;
constexpr gid_t nobodyGid = 65534;

inline const char* childVariable() {
  return "KWO_GRAB_TEST_DISPLAY";
}

// An Xvfb started as nobody: a wrapper named Xvfb first in PATH, which
// drops itself from PATH and runs the real one through setpriv.
inline std::unique_ptr<testsupport::XvfbServer>
startAsNobody(const testsupport::XvfbServer::Options& options) {
  testsupport::TempDir dir("kwo-grabtest");
  std::string script = dir.path() + "/Xvfb";
  std::ofstream(script) << "#!/bin/sh\nPATH=${PATH#*:}\nexec setpriv --reuid=" << nobodyUid
                        << " --regid=" << nobodyGid << " --clear-groups Xvfb \"$@\"\n";
  std::filesystem::permissions(script, std::filesystem::perms::owner_all);
  std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
  setenv("PATH", (dir.path() + ":" + oldPath).c_str(), 1);
  struct Restore {
    std::string path;
    ~Restore() { setenv("PATH", path.c_str(), 1); }
  } restore{oldPath};
  return std::make_unique<testsupport::XvfbServer>(options);
}

inline std::unique_ptr<testsupport::XvfbServer> startServer(ServerKind kind) {
  testsupport::XvfbServer::Options options;
  options.width = screenWidth;
  options.height = screenHeight;
  if (kind == ServerKind::depth16 || kind == ServerKind::depth8)
    options.depth = kind == ServerKind::depth16 ? 16 : 8;
  if (kind == ServerKind::noShm)
    options.disabledExtensions = {"MIT-SHM"};
  if (kind == ServerKind::nobody && geteuid() == 0)
    return startAsNobody(options);
  return std::make_unique<testsupport::XvfbServer>(options);
}

// The parent's servers, one per kind, stopped at exit.
inline testsupport::XvfbServer& server(ServerKind kind) {
  static std::map<ServerKind, std::unique_ptr<testsupport::XvfbServer>> servers;
  std::unique_ptr<testsupport::XvfbServer>& slot = servers[kind];
  if (!slot)
    slot = startServer(kind);
  return *slot;
}

// Runs `body` with the toolkit connection open on a server of `kind`: in
// the child, directly; in the parent, by running the current test again in
// a child.
inline void inServer(ServerKind kind, const std::function<void()>& body) {
  if (const char* name = std::getenv(childVariable())) {
    tx::openDisplay(name);
    body();
    return;
  }
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string filter = std::string(test->test_suite_name()) + "." + test->name();
  const std::string& display = server(kind).displayName();
  testsupport::ChildResult result = testsupport::ChildProcess::run(
    {"/proc/self/exe", "--gtest_filter=" + filter, "--gtest_color=no"},
    {{childVariable(), display}});
  EXPECT_TRUE(result.started);
  EXPECT_FALSE(result.timedOut);
  EXPECT_TRUE(result.exited && result.exitStatus == 0)
    << "child on " << display << " (status " << result.exitStatus << ", signal "
    << result.termSignal << "):\n"
    << result.out << result.err;
  // A filter that matched nothing would pass without testing anything.
  EXPECT_NE(result.out.find("[  PASSED  ] 1 test"), std::string::npos) << result.out;
}

} // namespace grabtest
