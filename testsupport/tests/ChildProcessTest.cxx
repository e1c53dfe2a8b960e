#include "testsupport/ChildProcess.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>

namespace {

using testsupport::ChildProcess;
using testsupport::ChildResult;

TEST(ChildProcess, CapturesOutputsAndExitStatus) {
  ChildResult r = ChildProcess::run({"sh", "-c", "echo out; echo err >&2; exit 7"});
  EXPECT_TRUE(r.started);
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.exitStatus, 7);
  EXPECT_EQ(r.out, "out\n");
  EXPECT_EQ(r.err, "err\n");
  EXPECT_FALSE(r.timedOut);
}

TEST(ChildProcess, FeedsInputWhileDrainingBothOutputs) {
  // Large enough to fill every pipe buffer: a runner that wrote all input
  // first, or read one output at a time, would deadlock here.
  std::string input;
  for (int i = 0; i < 200000; i++)
    input += char('a' + i % 26);
  ChildResult r = ChildProcess::run({"sh", "-c", "tee /dev/stderr"}, {}, input);
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.out, input);
  EXPECT_EQ(r.err, input);
}

TEST(ChildProcess, SetsEnvironmentOnTopOfOurs) {
  setenv("KWO_CHILD_KEPT", "kept", 1);
  setenv("KWO_CHILD_REPLACED", "old", 1);
  ChildResult r = ChildProcess::run(
    {"sh", "-c", "printf '%s %s %s' \"$KWO_CHILD_KEPT\" \"$KWO_CHILD_REPLACED\" \"$KWO_CHILD_NEW\""},
    {{"KWO_CHILD_REPLACED", "new"}, {"KWO_CHILD_NEW", "added"}});
  EXPECT_EQ(r.out, "kept new added");
  unsetenv("KWO_CHILD_KEPT");
  unsetenv("KWO_CHILD_REPLACED");
}

TEST(ChildProcess, ReportsAProgramThatCannotRun) {
  ChildResult r = ChildProcess::run({"kwo-no-such-program-anywhere"});
  EXPECT_FALSE(r.started);
  EXPECT_FALSE(ChildProcess::run({}).started);
}

TEST(ChildProcess, ReportsTheEndingSignal) {
  ChildResult r = ChildProcess::run({"sh", "-c", "kill -TERM $$"});
  EXPECT_TRUE(r.started);
  EXPECT_FALSE(r.exited);
  EXPECT_EQ(r.termSignal, SIGTERM);
}

TEST(ChildProcess, KillsAChildPastTheDeadline) {
  ChildResult r = ChildProcess::run({"sleep", "600"}, {}, {}, std::chrono::milliseconds(200));
  EXPECT_TRUE(r.timedOut);
  EXPECT_FALSE(r.exited);
  EXPECT_EQ(r.termSignal, SIGKILL);
}

} // namespace
