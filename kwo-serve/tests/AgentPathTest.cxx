#include "kwo-serve/AgentPath.h"

#include "ServeFixture.h"
#include "testsupport/ChildProcess.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace kwoserve {

// An installed prefix (bin, libexec), a bin folder holding both, a build tree.
TEST(AgentPath, FoundBesideKwoServeThenInLibexecThenInTheBuildTree) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {{"libexec/kwoagent-x11"}, "/bin/../libexec/kwoagent-x11"},
      {{"bin/kwoagent-x11", "libexec/kwoagent-x11"}, "/bin/kwoagent-x11"},
      {{"kwoagent-x11/kwoagent-x11"}, "/bin/../kwoagent-x11/kwoagent-x11"},
      {{}, "fallback"},
  };
  for (const auto& [programs, found] : cases) {
    SCOPED_TRACE(found);
    testsupport::TempDir prefix("kwo-agentpath");
    std::filesystem::create_directory(prefix.path() + "/bin");
    for (const std::string& program : programs) {
      std::filesystem::create_directories(prefix.path() + "/" + program.substr(0, program.find('/')));
      std::ofstream(prefix.path() + "/" + program);
      std::filesystem::permissions(prefix.path() + "/" + program, std::filesystem::perms::owner_all);
    }
    std::string want = found == "fallback" ? found : prefix.path() + found;
    EXPECT_EQ(AgentPath::find(prefix.path() + "/bin", "fallback"), want);
  }
}

// cmake --install: kwo-serve in bin runs the agent from libexec.
TEST(AgentPath, AnInstalledKwoServeRunsTheAgentFromLibexec) {
  testsupport::TempDir prefix("kwo-install");
  testsupport::ChildResult install = testsupport::ChildProcess::run(
      {"cmake", "--install", KWO_BINARY_DIR, "--prefix", prefix.path()});
  ASSERT_EQ(install.exitStatus, 0) << install.out << install.err;
  for (const char* file : {"/bin/kwo-serve", "/libexec/kwoagent-x11",
                           "/lib/systemd/user/kwo-serve.service"})
    EXPECT_TRUE(std::filesystem::exists(prefix.path() + file)) << file;
  // The display does not exist: the agent is started, then kwo-serve gives up.
  testsupport::ChildResult run = testsupport::ChildProcess::run(
      {prefix.path() + "/bin/kwo-serve", "-display", ":65000", "-nopassword", "-port",
       std::to_string(test::freePort()), "-httpport", std::to_string(test::freePort())},
      {{"XDG_RUNTIME_DIR", prefix.path()}});
  EXPECT_NE(run.exitStatus, 0);
  EXPECT_NE(run.err.find("Starting " + prefix.path() + "/bin/../libexec/kwoagent-x11"),
            std::string::npos)
      << run.err;
}

} // namespace kwoserve
