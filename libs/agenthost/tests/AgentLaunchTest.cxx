#include "base/plat/Exception.h"
#include "libs/agenthost/AgentLaunch.h"
#include "libs/agenthost/HashChallenge.h"

#include <gtest/gtest.h>

namespace agenthost::test {
namespace {

TEST(AgentLaunch, CommandLineHasModeOptionsSocketAndSettingsInOrder) {
  AgentLaunch l;
  l.agentPath = "/usr/bin/kwoagent-x11";
  l.mode = AgentMode::service;
  l.lppDebug = true;
  l.params = {{"PollInterval", "20"}, {"Desktop", "x=y"}};
  EXPECT_EQ(l.commandLine("/tmp/d/agent.sock", "ab12"),
            (std::vector<std::string>{"/usr/bin/kwoagent-x11", "service", "-lppDebug", "-hash",
                                      "ab12", "/tmp/d/agent.sock", "PollInterval=20",
                                      "Desktop=x=y"}));
}

TEST(AgentLaunch, SettingsThatWouldChangeTheCommandLineAreRefused) {
  struct Case {
    const char* name;
    std::string value;
    bool accepted;
  } cases[] = {
      {"PollInterval", "20", true}, {"Log", "*:stderr:100", true}, {"", "x", false},
      {"-fork", "", false},         {"A=B", "c", false},            {"Tab\there", "x", false},
      {"Nul", std::string("a\0b", 3), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AgentLaunch l;
    l.agentPath = "/bin/agent";
    l.params = {{c.name, c.value}};
    if (c.accepted)
      EXPECT_NO_THROW(l.commandLine("/s", "h"));
    else
      EXPECT_THROW(l.commandLine("/s", "h"), plat::Exception);
  }
}

TEST(AgentLaunch, EnvironmentGetsDisplayAndExtrasOverTheInheritedOnes) {
  const char* inherited[] = {"PATH=/bin", "DISPLAY=:0", "HOME=/root", "X=old", nullptr};
  AgentLaunch l;
  l.display = ":5";
  l.environment = {{"X", "new"}, {"Y", "1"}, {"Y", "2"}};
  EXPECT_EQ(l.environmentFor(inherited),
            (std::vector<std::string>{"PATH=/bin", "HOME=/root", "DISPLAY=:5", "X=new", "Y=2"}));
  l.inheritEnvironment = false;
  EXPECT_EQ(l.environmentFor(inherited),
            (std::vector<std::string>{"DISPLAY=:5", "X=new", "Y=2"}));
  l.environment = {{"A=B", "x"}};
  EXPECT_THROW(l.environmentFor(inherited), plat::Exception);
}

TEST(HashChallenge, HashIsTheDigestOfTheBytesAndBytesAreFresh) {
  HashChallenge a, b;
  crypto::Sha256::Digest digest = crypto::Sha256::digest(a.bytes().data(), a.bytes().size());
  EXPECT_EQ(a.hashHex(), HashChallenge::hex(digest.data(), digest.size()));
  EXPECT_EQ(a.hashHex().size(), 64u);
  EXPECT_NE(a.bytes(), b.bytes());
  const uint8_t sample[] = {0x00, 0x9f, 0xa0, 0xff};
  EXPECT_EQ(HashChallenge::hex(sample, 4), "009fa0ff");
}

} // namespace
} // namespace agenthost::test
