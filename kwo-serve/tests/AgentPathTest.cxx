#include "kwo-serve/AgentPath.h"

#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
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

} // namespace kwoserve
