#include "kwo-serve/AgentPath.h"

#include "ServeFixture.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace kwoserve {

namespace {

void makeProgram(const std::string& path) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  close(open(path.c_str(), O_WRONLY | O_CREAT, 0755));
}

} // namespace

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
    for (const std::string& program : programs)
      makeProgram(prefix.path() + "/" + program);
    std::string want = found == "fallback" ? found : prefix.path() + found;
    EXPECT_EQ(AgentPath::find(prefix.path() + "/bin", "fallback"), want);
  }
}

// cmake --install: kwo-serve in bin runs the agent from libexec.
TEST(AgentPath, AnInstalledKwoServeRunsTheAgentFromLibexec) {
  testsupport::TempDir prefix("kwo-install");
  std::string install = "cmake --install " KWO_BINARY_DIR " --prefix " + prefix.path() +
                        " > " + prefix.path() + "/install.log 2>&1";
  ASSERT_EQ(system(install.c_str()), 0) << install;
  for (const char* file : {"/bin/kwo-serve", "/libexec/kwoagent-x11",
                           "/lib/systemd/user/kwo-serve.service"})
    EXPECT_TRUE(std::filesystem::exists(prefix.path() + file)) << file;
  // The display does not exist: the agent is started, then kwo-serve gives up.
  std::string run = "XDG_RUNTIME_DIR=" + prefix.path() + " " + prefix.path() +
                    "/bin/kwo-serve -display :65000 -nopassword -port " +
                    std::to_string(test::freePort()) + " -httpport " +
                    std::to_string(test::freePort()) + " 2> " + prefix.path() + "/serve.log";
  EXPECT_NE(system(run.c_str()), 0);
  std::ifstream log(prefix.path() + "/serve.log");
  std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("Starting " + prefix.path() + "/bin/../libexec/kwoagent-x11"),
            std::string::npos)
      << text;
}

} // namespace kwoserve
