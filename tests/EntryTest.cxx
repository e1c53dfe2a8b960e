#include "testsupport/ChildProcess.h"

#include <gtest/gtest.h>

namespace {

using testsupport::ChildProcess;
using testsupport::ChildResult;

const std::string agent = KWO_AGENT_PATH;
const char* const notDirectly = "This program is not intended to be run directly.\n";

TEST(Entry, WithoutAModeWordItRefusesToRun) {
  const std::vector<std::vector<std::string>> commands = {
    {agent},
    {agent, "Service"},
    {agent, "USER"},
    {agent, ""},
    {agent, "desktop", "-paramsxml"},
    {agent, "-paramsxml"},
  };
  for (const auto& command : commands) {
    SCOPED_TRACE(command.size() > 1 ? "'" + command[1] + "'" : std::string("no arguments"));
    ChildResult result = ChildProcess::run(command);
    ASSERT_TRUE(result.started);
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.err, notDirectly);
    EXPECT_EQ(result.out, "");
  }
}

TEST(Entry, ParamsXmlWritesAWellFormedDocumentAndExitsZero) {
  for (const char* mode : {"service", "user", "virtual"}) {
    SCOPED_TRACE(mode);
    ChildResult result = ChildProcess::run({agent, mode, "-paramsxml"});
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out.rfind("<?xml version=\"1.0\"?>\n<config>\n", 0), 0u);
    ASSERT_GE(result.out.size(), 10u);
    EXPECT_EQ(result.out.substr(result.out.size() - 10), "</config>\n");

    ChildResult lint = ChildProcess::run({"xmllint", "--noout", "-"}, {}, result.out);
    ASSERT_TRUE(lint.exited) << lint.err;
    EXPECT_EQ(lint.exitStatus, 0) << lint.err;
  }
}

TEST(Entry, ParamsXmlUsesLocalisationKeys) {
  ChildResult result = ChildProcess::run({agent, "user", "-paramsxml"});
  ASSERT_TRUE(result.exited);
  EXPECT_NE(result.out.find("<string name=\"Log\"\n        locDesc=\"plat_param_log\"\n"),
            std::string::npos)
    << result.out;
  EXPECT_EQ(result.out.find("name=\"ppmm\""), std::string::npos);
}

TEST(Entry, ParamsXmlOnlyAsTheSecondArgument) {
  ChildResult result = ChildProcess::run({agent, "user", "pipe", "-paramsxml"});
  ASSERT_TRUE(result.exited);
  EXPECT_NE(result.exitStatus, 0);
  EXPECT_EQ(result.out.find("<?xml"), std::string::npos);
}

TEST(Entry, ParamsXmlThatCannotBeWrittenFails) {
  // A document lost to a full disk used to end with status 0, as if complete.
  ChildResult result =
    ChildProcess::run({"sh", "-c", "exec \"$0\" user -paramsxml > /dev/full", agent});
  ASSERT_TRUE(result.exited);
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_NE(result.err.find("writing the parameter document failed"), std::string::npos)
    << result.err;
}

TEST(Entry, AFatalErrorAfterConnectingIsWrittenToStandardError) {
  // Used to be logged for a server only, after the channel had gone: with
  // standard error the one trace left, the agent died without a word.
  ChildResult result = ChildProcess::run({agent, "user", "-dummy"}, {{"DISPLAY", ":64999"}});
  ASSERT_TRUE(result.exited);
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.err, "unable to open display \":64999\"\n");
}

} // namespace
