#include "uilibs/tx/DesktopUserTally.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace {

// A process's uid and XAUTHORITY ("?": a value that cannot be compared).
using Seen = std::pair<uint32_t, std::optional<std::string>>;

TEST(DesktopUserTallyTest, PicksTheUserWithMostProcessesAndTheirAgreedFile) {
  const std::optional<std::string> none;
  const struct {
    const char* name;
    std::vector<Seen> processes;
    std::optional<uint32_t> best;
    std::optional<std::string> xauthFile;
    int mismatches;
  } cases[] = {
    {"nothing counted", {}, std::nullopt, none, 0},
    {"processes without a file do not disagree", {{1000, none}, {1000, "/a"}, {1000, none}},
     1000, "/a", 0},
    {"disagreeing processes", {{1000, "/a"}, {1000, "/b"}}, 1000, none, 1},
    {"disagreement stays when the first value returns", {{1000, "/a"}, {1000, "/b"},
     {1000, "/a"}}, 1000, none, 2},
    {"most processes win", {{1001, "/b"}, {1000, "/a"}, {1000, "/a"}}, 1000, "/a", 0},
    {"tie at two keeps the first to reach two", {{1000, none}, {1001, none}, {1001, none},
     {1000, none}}, 1001, none, 0},
    {"another user's disagreement does not matter", {{1000, "/a"}, {1000, "/a"},
     {1000, none}, {1001, "/x"}, {1001, "/y"}}, 1000, "/a", 1},
    {"uid 0 is a user", {{0, "/root/.Xauthority"}}, 0, "/root/.Xauthority", 0},
    {"an uncomparable value hides the file", {{1000, "/a"}, {1000, "?"}}, 1000, none, 0},
    {"an uncomparable value still counts", {{1001, none}, {1000, "?"}, {1000, "/a"}}, 1000,
     none, 0},
  };
  for (const auto& c : cases) {
    for (bool reversed : {false, true}) {
      // Order matters only for ties; the reversed run checks the rest.
      if (reversed && std::string(c.name).find("tie") != std::string::npos)
        continue;
      SCOPED_TRACE(std::string(c.name) + (reversed ? " (reversed)" : ""));
      std::vector<Seen> processes = c.processes;
      if (reversed)
        std::reverse(processes.begin(), processes.end());
      tx::DesktopUserTally tally;
      int mismatches = 0;
      for (const auto& [uid, xauthority] : processes) {
        if (xauthority == "?")
          tally.addUnusable(uid);
        else if (tally.add(uid, xauthority))
          ++mismatches;
      }
      EXPECT_EQ(tally.bestUid(), c.best);
      EXPECT_EQ(tally.xauthFile(), c.xauthFile);
      EXPECT_EQ(mismatches, c.mismatches);
    }
  }
}

} // namespace
