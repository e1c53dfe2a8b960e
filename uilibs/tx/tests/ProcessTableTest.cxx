#include "FakeProcTree.h"

#include "uilibs/tx/ProcessTable.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <map>

namespace {

using Kind = tx::ProcessTable::EnvValue::Kind;
using txtest::FakeProcTree;

struct Visit {
  uint32_t uid;
  Kind kind;
  std::string value;
  bool operator==(const Visit&) const = default;
};

// Every visit of a scan, with its PID.
std::vector<std::pair<uint32_t, Visit>> scanAll(const std::string& root,
                                                const std::set<uint32_t>& wanted,
                                                size_t maxValueLength = 255) {
  std::vector<std::pair<uint32_t, Visit>> visits;
  tx::ProcessTable(root).scan(wanted, "XAUTHORITY", maxValueLength,
                              [&](const tx::ProcessTable::Process& p) {
                                visits.push_back({p.pid, {p.uid, p.env.kind, p.env.value}});
                              });
  return visits;
}

TEST(ProcessTableTest, ParsesPidsAndTheRealUidOfTheStatus) {
  EXPECT_EQ(tx::ProcessTable::parsePid("1"), 1u);
  EXPECT_EQ(tx::ProcessTable::parsePid("4294967295"), 4294967295u);
  for (const char* name : {"0", "007", "4294967296", "", "self", "12a", "+5", "99999999999"})
    EXPECT_EQ(tx::ProcessTable::parsePid(name), std::nullopt) << name;
  const std::vector<std::pair<std::string, std::optional<uint32_t>>> statuses = {
    {"Name:\tx\nUid:\t1000\t0\t0\t0\nGid:\t5\n", 1000u},
    {"Uid: 42 43 44 45", 42u},
    {"Uid:\t4294967294\t0\t0\t0\n", 4294967294u},
    {"Uid:\t0\t0\t0\t0\n", 0u}, // root's processes count too
    // The "no user" value and anything beyond 32 bits are not uids.
    {"Uid:\t4294967295\t0\t0\t0\n", std::nullopt},
    {"Uid:\t4294967296\t0\t0\t0\n", std::nullopt},
    {"Uid:\t\n", std::nullopt},
    {"Name:\tUid:\t5\nGid:\t5\n", std::nullopt},
    {"", std::nullopt},
    {"XUid:\t7\nUid:\t8\n", 8u},
  };
  for (const auto& [status, uid] : statuses) {
    SCOPED_TRACE(status);
    EXPECT_EQ(tx::ProcessTable::parseStatusUid(status), uid);
  }
}

// One table holding a process for each way its files can be: what each
// visit says.
TEST(ProcessTableTest, ScansTheWantedProcesses) {
  FakeProcTree tree;
  std::map<uint32_t, Visit> expected;
  auto add = [&](uint32_t pid, const std::string& xauthority, std::optional<Visit> visit) {
    tree.addProcess(pid, 1000 + pid % 100, xauthority);
    if (visit)
      expected[pid] = *visit;
  };
  add(5000001, "/a", Visit{1001, Kind::found, "/a"});
  // An unreadable environment gives no value, but the process counts.
  add(5000004, "/a", Visit{1004, Kind::absent, ""});
  tree.remove("5000004/environ");
  // Used to block for ever: a FIFO without a writer in place of the file.
  add(5000005, "/a", Visit{1005, Kind::absent, ""});
  tree.remove("5000005/environ");
  ASSERT_EQ(mkfifo(tree.path("5000005/environ").c_str(), 0600), 0);
  add(5000006, std::string(20, 'v'), Visit{1006, Kind::found, std::string(20, 'v')});
  add(5000007, std::string(21, 'v'), Visit{1007, Kind::unusable, ""});
  // Well over one read, with the variable at the very end.
  std::vector<std::string> env(20000, "VARIABLE=" + std::string(40, 'v'));
  env.push_back("XAUTHORITY=/at/the/end");
  tree.addProcess(5000008, 1008, env);
  expected[5000008] = {1008, Kind::found, "/at/the/end"};
  // A sparse file reading as NULs up to the limit, the variable after it.
  add(5000009, "/never/reached", Visit{1009, Kind::unusable, ""});
  std::string sparse = tree.path("5000009/environ");
  std::filesystem::resize_file(sparse, 0);
  std::filesystem::resize_file(sparse, tx::ProcessTable::maxEnvironSize + 10);
  std::ofstream(sparse, std::ios::binary | std::ios::app) << "XAUTHORITY=/never/reached";
  // Symbolic links are not followed: not for the directory, not for files.
  std::string outside = tree.root() + "-outside";
  std::filesystem::create_directories(outside);
  tree.addProcess(5000099, 1099, std::string("/elsewhere"));
  std::filesystem::copy(tree.path("5000099"), outside + "/5000099");
  std::filesystem::create_directory_symlink(outside + "/5000099", tree.path("5000010"));
  add(5000011, "/own", Visit{1011, Kind::absent, ""});
  tree.remove("5000011/environ");
  std::filesystem::create_symlink(outside + "/5000099/environ", tree.path("5000011/environ"));
  add(5000012, "/own", std::nullopt);
  tree.remove("5000012/status");
  std::filesystem::create_symlink(outside + "/5000099/status", tree.path("5000012/status"));
  tree.writeFile("self", "not a process");

  // Nothing wanted reads nothing; a missing table gives nothing.
  EXPECT_TRUE(scanAll(tree.root(), {}).empty());
  EXPECT_TRUE(scanAll("/nonexistent/kwo-proc", {1}).empty());
  std::set<uint32_t> wanted = {7777777};
  for (uint32_t pid = 5000001; pid <= 5000012; pid++)
    wanted.insert(pid);
  std::vector<std::pair<uint32_t, Visit>> visits = scanAll(tree.root(), wanted, 20);
  std::filesystem::remove_all(outside);

  // Each wanted process once, as its files say.
  std::map<uint32_t, Visit> byPid(visits.begin(), visits.end());
  EXPECT_EQ(byPid.size(), visits.size());
  EXPECT_TRUE(byPid == expected);
}

} // namespace
