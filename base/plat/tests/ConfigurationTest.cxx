#include "base/plat/BoolParameter.h"
#include "base/plat/Configuration.h"
#include "base/plat/Exception.h"
#include "base/plat/IntParameter.h"
#include "base/plat/ParameterAlias.h"
#include "base/plat/StringParameter.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

TEST(Configuration, ParametersAndGroupsMayBeDestroyedInAnyOrder) {
  auto group = std::make_unique<plat::Configuration>("Group");
  auto a = std::make_unique<plat::BoolParameter>("A", "a", false, false, group.get());
  plat::BoolParameter b("B", "b", false, false, group.get());
  auto c = std::make_unique<plat::BoolParameter>("C", "c", false, false, group.get());
  plat::ParameterAlias alias("Nick", "B", group.get());
  EXPECT_EQ(group->head(), c.get());  // newest first
  a.reset();
  c.reset();
  EXPECT_EQ(group->head(), &b);
  EXPECT_EQ(b.next(), nullptr);
  group.reset();
  EXPECT_EQ(b.group(), nullptr);
  EXPECT_TRUE(b.setParam("1", 10));
}

TEST(Configuration, AliasSetsEveryTargetAndExpandsAliasesOfAliases) {
  plat::Configuration group("Aliases");
  plat::IntParameter width("Width", "w", 1, 0, 100, false, &group);
  plat::IntParameter height("Height", "h", 1, 0, 100, false, &group);
  plat::StringParameter label("Label", "l", "", false, &group);
  plat::ParameterAlias size("Size", "Width, Height", &group);
  plat::ParameterAlias all("Everything", std::vector<std::string>{"size", "Label"}, &group);

  EXPECT_TRUE(group.setParam("size", "20", 10));
  EXPECT_EQ(width.getValue(), 20);
  EXPECT_EQ(height.getValue(), 20);

  // Label accepts any text; the integers reject it: still accepted overall.
  EXPECT_TRUE(group.setParam("EVERYTHING", "abc", 30));
  EXPECT_EQ(label.getValue(), "abc");
  EXPECT_EQ(width.getPriority(), 10);

  // Nothing accepts it: false.
  EXPECT_FALSE(group.setParam("Size", "500", 10));
}

TEST(Configuration, CyclicAliasesEndInsteadOfRecursingForEver) {
  // Aliases naming each other used to recurse until the stack ran out.
  plat::Configuration group("Cycle");
  plat::ParameterAlias ping("Ping", "Pong", &group);
  plat::ParameterAlias pong("Pong", "Ping", &group);
  EXPECT_FALSE(group.setParam("Ping", "1", 10));
}

class CommandLine : public testing::Test {
protected:
  plat::Configuration group{"CommandLine"};
  plat::BoolParameter useXFixes{"UseXFixes", "Use XFIXES", false, false, &group};
  plat::IntParameter pollInterval{"PollInterval", "Poll", 50, 1, INT_MAX, false, &group};
  plat::StringParameter log{"Log", plat::LocKey("plat_param_log"), "", false, &group};

  // The message of the exception that parsing throws.
  std::string badArgument(const std::vector<std::string>& args,
                          const plat::Configuration::HelpHandler& help) {
    try {
      group.parseCommandLine(args, help);
    } catch (const plat::Exception& e) {
      EXPECT_STREQ(e.type(), "BadCmdLineArg");
      return e.str();
    }
    ADD_FAILURE() << "no exception";
    return {};
  }
};

TEST_F(CommandLine, ParseArgForms) {
  struct Case {
    const char* arg;
    bool accepted, xfixes;
    int poll;
    const char* log;
  } cases[] = {
    {"--usexfixes", true, true, 50, ""},
    {"UseXFixes=off", true, false, 50, ""},
    {"UseXFixes", false, false, 50, ""},
    {"PollInterval=0x10", true, false, 16, ""},
    {"-PollInterval", false, false, 50, ""},
    {"Log=a=b", true, false, 50, "a=b"},
    {"-Log", false, false, 50, ""},
    {"---UseXFixes", false, false, 50, ""},
    {"-", false, false, 50, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arg);
    useXFixes.reset(false);
    pollInterval.reset(false);
    log.reset(false);
    EXPECT_EQ(group.parseArg(c.arg, 10), c.accepted);
    EXPECT_EQ(useXFixes.getValue(), c.xfixes);
    EXPECT_EQ(pollInterval.getValue(), c.poll);
    EXPECT_EQ(log.getValue(), c.log);
  }
}

TEST_F(CommandLine, ParseCommandLineUsesPriorityTenAndPairs) {
  group.parseCommandLine({"-UseXFixes", "-PollInterval", "20", "Log=x"}, nullptr);
  EXPECT_TRUE(useXFixes.getValue());
  EXPECT_EQ(pollInterval.getValue(), 20);
  EXPECT_EQ(pollInterval.getPriority(), 10);
  EXPECT_EQ(log.getValue(), "x");
  const char* argv[] = {"-Log", "two words", "--UseXFixes=false"};
  group.parseCommandLine(3, argv, nullptr);
  EXPECT_EQ(log.getValue(), "two words");
  EXPECT_FALSE(useXFixes.getValue());
}

TEST_F(CommandLine, BadArgumentStopsTheScanAndIsNamed) {
  auto help = [](int) {};
  EXPECT_EQ(badArgument({"-UseXFixes", "maybe", "-PollInterval=9"}, help),
            "Bad argument 'maybe'.  Run with -help for usage.");
  EXPECT_TRUE(useXFixes.getValue());
  EXPECT_EQ(pollInterval.getValue(), 50);  // the scan stopped before it
  EXPECT_EQ(badArgument({"-PollInterval"}, nullptr), "Bad argument '-PollInterval'.");
  EXPECT_EQ(badArgument({"-PollInterval", "zero"}, help),
            "Bad argument '-PollInterval'.  Run with -help for usage.");
  // A percent sign in the argument is text, not a format.
  EXPECT_EQ(badArgument({"%s%n"}, nullptr), "Bad argument '%s%n'.");
}

TEST_F(CommandLine, HelpWordsCallTheHandlerWithTheirMode) {
  struct Case {
    std::vector<std::string> args;
    int mode;
  } cases[] = {
    {{"--HELP", "all"}, 1},
    {{"-h", "XML"}, 2},
    {{"/?", "other"}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.front());
    std::vector<int> modes;
    badArgument(c.args, [&](int mode) { modes.push_back(mode); });
    EXPECT_EQ(modes, std::vector<int>{c.mode});
  }
  // Without a handler "-help" is just a bad argument.
  EXPECT_EQ(badArgument({"-help"}, nullptr), "Bad argument '-help'.");
  // A parameter named like a help word is no help.
  plat::BoolParameter h("h", "short flag", false, false, &group);
  group.parseCommandLine({"-h"}, [](int) { FAIL() << "help called"; });
  EXPECT_TRUE(h.getValue());
}

} // namespace
