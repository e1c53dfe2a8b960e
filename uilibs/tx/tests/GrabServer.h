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

inline bool inChild() {
  return std::getenv(childVariable()) != nullptr;
}

// A directory holding an "Xvfb" that starts the real one as nobody.
class NobodyWrapper {
public:
  NobodyWrapper() {
    char templ[] = "/tmp/kwo-grabtest.XXXXXX";
    if (!mkdtemp(templ))
      throw std::runtime_error("mkdtemp failed");
    dir_ = templ;
    std::string script = dir_ + "/Xvfb";
    std::ofstream(script) << "#!/bin/sh\nexec setpriv --reuid=" << nobodyUid
                          << " --regid=" << nobodyGid << " --clear-groups " << realXvfb()
                          << " \"$@\"\n";
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
  }
  ~NobodyWrapper() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  const std::string& dir() const { return dir_; }

private:
  static std::string realXvfb() {
    std::string path = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin";
    size_t start = 0;
    while (start <= path.size()) {
      size_t end = path.find(':', start);
      std::string candidate = path.substr(start, end - start) + "/Xvfb";
      if (access(candidate.c_str(), X_OK) == 0)
        return candidate;
      if (end == std::string::npos)
        break;
      start = end + 1;
    }
    return "Xvfb";
  }

  std::string dir_;
};

inline std::unique_ptr<testsupport::XvfbServer> startServer(ServerKind kind) {
  testsupport::XvfbServer::Options options;
  options.width = screenWidth;
  options.height = screenHeight;
  switch (kind) {
  case ServerKind::depth24:
    break;
  case ServerKind::depth16:
    options.depth = 16;
    break;
  case ServerKind::depth8:
    options.depth = 8;
    break;
  case ServerKind::noShm:
    options.disabledExtensions = {"MIT-SHM"};
    break;
  case ServerKind::nobody:
    if (geteuid() == 0) {
      NobodyWrapper wrapper;
      std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
      setenv("PATH", (wrapper.dir() + ":" + oldPath).c_str(), 1);
      std::unique_ptr<testsupport::XvfbServer> server;
      try {
        server = std::make_unique<testsupport::XvfbServer>(options);
      } catch (...) {
        setenv("PATH", oldPath.c_str(), 1);
        throw;
      }
      setenv("PATH", oldPath.c_str(), 1);
      return server;
    }
    break;
  }
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
