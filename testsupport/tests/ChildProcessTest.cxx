// The runner of the tests' programs: what a test asserts about a program's
// end and output is only as good as what this reports.

#include "testsupport/ChildProcess.h"

#include <gtest/gtest.h>

#include <csignal>

namespace {

using testsupport::ChildProcess;
using testsupport::ChildResult;

TEST(ChildProcess, ReportsOutputsEndAndEnvironment) {
  setenv("KWO_CHILD_KEPT", "kept", 1);
  ChildResult r = ChildProcess::run({"sh", "-c", "echo $KWO_CHILD_KEPT $KWO_CHILD_NEW; echo err >&2; exit 7"},
                                    {{"KWO_CHILD_NEW", "added"}});
  EXPECT_TRUE(r.started && r.exited && !r.timedOut);
  EXPECT_EQ(r.exitStatus, 7);
  EXPECT_EQ(r.out, "kept added\n");
  EXPECT_EQ(r.err, "err\n");
  unsetenv("KWO_CHILD_KEPT");

  r = ChildProcess::run({"sh", "-c", "kill -TERM $$"});
  EXPECT_FALSE(r.exited);
  EXPECT_EQ(r.termSignal, SIGTERM);
  EXPECT_FALSE(ChildProcess::run({"kwo-no-such-program-anywhere"}).started);
  r = ChildProcess::run({"sleep", "600"}, {}, {}, std::chrono::milliseconds(200));
  EXPECT_TRUE(r.timedOut);
  EXPECT_EQ(r.termSignal, SIGKILL);
}

TEST(ChildProcess, FeedsInputWhileDrainingBothOutputs) {
  // Large enough to fill every pipe buffer: a runner that wrote all input
  // first, or read one output at a time, would deadlock here.
  std::string input;
  for (int i = 0; i < 200000; i++)
    input += char('a' + i % 26);
  ChildResult r = ChildProcess::run({"sh", "-c", "tee /dev/stderr"}, {}, input);
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_TRUE(r.out == input && r.err == input);
}

} // namespace
