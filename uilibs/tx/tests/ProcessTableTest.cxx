#include "FakeProcTree.h"

#include "uilibs/tx/ProcessTable.h"

#include "testsupport/LogRecorder.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>

namespace {

using Kind = tx::ProcessTable::EnvValue::Kind;
using txtest::FakeProcTree;
using namespace std::string_literals;

struct Visit {
  uint32_t pid;
  uint32_t uid;
  Kind kind;
  std::string value;
};

std::vector<Visit> scanAll(const std::string& root, const std::set<uint32_t>& wanted,
                           size_t maxValueLength = 255) {
  std::vector<Visit> visits;
  tx::ProcessTable(root).scan(wanted, "XAUTHORITY", maxValueLength,
                              [&](const tx::ProcessTable::Process& p) {
                                visits.push_back({p.pid, p.uid, p.env.kind, p.env.value});
                              });
  return visits;
}

TEST(ProcessTableTest, PidsArePlainPositiveDecimalNumbersOf32Bits) {
  const std::vector<std::pair<const char*, std::optional<uint32_t>>> cases = {
    {"1", 1u},           {"4194304", 4194304u}, {"4294967295", 4294967295u},
    {"0", std::nullopt}, {"007", std::nullopt}, {"4294967296", std::nullopt},
    {"", std::nullopt},  {"self", std::nullopt}, {"12a", std::nullopt},
    {"-5", std::nullopt}, {"+5", std::nullopt}, {" 5", std::nullopt},
    {"99999999999", std::nullopt},
  };
  for (const auto& [name, pid] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(tx::ProcessTable::parsePid(name), pid);
  }
}

TEST(ProcessTableTest, TheRealUidIsTheFirstValueOfTheUidLine) {
  const std::vector<std::pair<std::string, std::optional<uint32_t>>> cases = {
    {"Name:\tx\nUid:\t1000\t0\t0\t0\nGid:\t5\n", 1000u},
    {"Uid:\t0\t1000\t1000\t1000\n", 0u},
    {"Uid: 42 43 44 45", 42u},
    {"Uid:\t4294967294\t0\t0\t0\n", 4294967294u},
    // The "no user" value and anything beyond 32 bits are not uids.
    {"Uid:\t4294967295\t0\t0\t0\n", std::nullopt},
    {"Uid:\t4294967296\t0\t0\t0\n", std::nullopt},
    {"Uid:\t-1\t0\t0\t0\n", std::nullopt},
    {"Uid:\t1e3\t0\t0\t0\n", std::nullopt},
    {"Uid:\t\n", std::nullopt},
    {"Uid:", std::nullopt},
    {"Name:\tUid:\t5\nGid:\t5\n", std::nullopt},
    {"", std::nullopt},
    {"Gid:\t100\t100\t100\t100\n", std::nullopt},
    {"XUid:\t7\nUid:\t8\n", 8u},
  };
  for (const auto& [status, uid] : cases) {
    SCOPED_TRACE(status);
    EXPECT_EQ(tx::ProcessTable::parseStatusUid(status), uid);
  }
}

TEST(ProcessTableTest, VisitsTheWantedProcessesInListingOrder) {
  FakeProcTree tree;
  std::map<uint32_t, uint32_t> uids = {{5000001, 1000}, {5000002, 1001}, {5000003, 1002},
                                       {5000004, 1003}, {5000005, 1004}, {5000006, 1005}};
  for (const auto& [pid, uid] : uids)
    tree.addProcess(pid, uid, "/auth/" + std::to_string(pid));
  tree.writeFile("self", "not a process");
  tree.writeFile("uptime", "1 2");
  std::set<uint32_t> wanted = {5000001, 5000003, 5000004, 5000006, 7777777};

  std::vector<uint32_t> expectedOrder;
  for (const std::string& name : tree.listingOrder()) {
    std::optional<uint32_t> pid = tx::ProcessTable::parsePid(name);
    if (pid && wanted.count(*pid))
      expectedOrder.push_back(*pid);
  }

  std::vector<Visit> visits = scanAll(tree.root(), wanted);
  std::vector<uint32_t> order;
  for (const Visit& v : visits) {
    order.push_back(v.pid);
    SCOPED_TRACE(v.pid);
    EXPECT_EQ(v.uid, uids.at(v.pid));
    EXPECT_EQ(v.kind, Kind::found);
    EXPECT_EQ(v.value, "/auth/" + std::to_string(v.pid));
  }
  EXPECT_EQ(order, expectedOrder);
  EXPECT_EQ(order.size(), 4u);
}

TEST(ProcessTableTest, NothingWantedReadsNothing) {
  testsupport::LogRecorder recorder("ProcessTable", 110);
  EXPECT_TRUE(scanAll("/nonexistent/kwo-proc", {}).empty());
  EXPECT_TRUE(recorder.texts().empty());
}

TEST(ProcessTableTest, AMissingTableIsLogged) {
  testsupport::LogRecorder recorder("ProcessTable", 110);
  EXPECT_TRUE(scanAll("/nonexistent/kwo-proc", {1}).empty());
  EXPECT_EQ(recorder.texts("ProcessTable"),
            std::vector<std::string>{"Unable to open /nonexistent/kwo-proc: No such file or directory"});
}

TEST(ProcessTableTest, AnUnreadableEnvironmentGivesNoValueButTheProcessCounts) {
  FakeProcTree tree;
  tree.addProcess(5000001, 1000, "/a");
  tree.remove("5000001/environ");
  testsupport::LogRecorder recorder("ProcessTable", 110);
  std::vector<Visit> visits = scanAll(tree.root(), {5000001});
  ASSERT_EQ(visits.size(), 1u);
  EXPECT_EQ(visits[0].uid, 1000u);
  EXPECT_EQ(visits[0].kind, Kind::absent);
  std::vector<testsupport::LogRecorder::Line> lines = recorder.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, 100);
  EXPECT_EQ(lines[0].text,
            "Unable to open " + tree.path("5000001/environ") + ": No such file or directory");
}

TEST(ProcessTableTest, AProcessWithoutAUsableUidIsSkipped) {
  FakeProcTree tree;
  tree.addProcess(5000001, 1000, "/a");
  tree.addProcess(5000002, 1000, "/a");
  tree.addProcess(5000003, 1000, "/a");
  tree.remove("5000001/status");
  tree.writeFile("5000002/status", "Uid:\t99999999999\t0\t0\t0\n");
  std::vector<Visit> visits = scanAll(tree.root(), {5000001, 5000002, 5000003});
  ASSERT_EQ(visits.size(), 1u);
  EXPECT_EQ(visits[0].pid, 5000003u);
}

TEST(ProcessTableTest, SymbolicLinksAreNotFollowed) {
  FakeProcTree tree;
  // Files that a link could lead to: a process directory and an environment
  // outside the table.
  tree.addProcess(5000009, 1000, "/elsewhere");
  std::string outside = tree.root() + "-outside";
  std::filesystem::create_directories(outside);
  std::filesystem::copy(tree.path("5000009"), outside + "/5000009");
  tree.remove("5000009");

  std::filesystem::create_directory_symlink(outside + "/5000009", tree.path("5000001"));
  tree.addProcess(5000002, 1001, "/own");
  tree.remove("5000002/environ");
  std::filesystem::create_symlink(outside + "/5000009/environ", tree.path("5000002/environ"));
  tree.addProcess(5000003, 1002, "/own");
  tree.remove("5000003/status");
  std::filesystem::create_symlink(outside + "/5000009/status", tree.path("5000003/status"));

  std::vector<Visit> visits = scanAll(tree.root(), {5000001, 5000002, 5000003});
  std::filesystem::remove_all(outside);
  // Only 5000002 is visited, and without the environment its link names.
  ASSERT_EQ(visits.size(), 1u);
  EXPECT_EQ(visits[0].pid, 5000002u);
  EXPECT_EQ(visits[0].uid, 1001u);
  EXPECT_EQ(visits[0].kind, Kind::absent);
}

TEST(ProcessTableTest, AFifoInPlaceOfAFileIsNotWaitedFor) {
  FakeProcTree tree;
  tree.addProcess(5000001, 1000, "/a");
  tree.remove("5000001/environ");
  ASSERT_EQ(mkfifo(tree.path("5000001/environ").c_str(), 0600), 0);
  testsupport::LogRecorder recorder("ProcessTable", 110);
  // Reading the FIFO would block for ever (no writer); it must be refused.
  std::vector<Visit> visits = scanAll(tree.root(), {5000001});
  ASSERT_EQ(visits.size(), 1u);
  EXPECT_EQ(visits[0].kind, Kind::absent);
  EXPECT_EQ(recorder.texts("ProcessTable"),
            std::vector<std::string>{"Unable to open " + tree.path("5000001/environ") +
                                     ": not a regular file"});
}

TEST(ProcessTableTest, ValuesBeyondTheLimitAreUnusable) {
  FakeProcTree tree;
  tree.addProcess(5000001, 1000, std::string(20, 'a'));
  tree.addProcess(5000002, 1000, std::string(21, 'b'));
  std::vector<Visit> visits = scanAll(tree.root(), {5000001, 5000002}, 20);
  ASSERT_EQ(visits.size(), 2u);
  for (const Visit& v : visits) {
    SCOPED_TRACE(v.pid);
    if (v.pid == 5000001) {
      EXPECT_EQ(v.kind, Kind::found);
      EXPECT_EQ(v.value, std::string(20, 'a'));
    } else {
      EXPECT_EQ(v.kind, Kind::unusable);
    }
  }
}

TEST(ProcessTableTest, LargeEnvironmentsAreSearchedInPieces) {
  FakeProcTree tree;
  // Well over one read, with the variable at the very end.
  std::vector<std::string> env;
  for (int i = 0; i < 20000; ++i)
    env.push_back("VARIABLE_" + std::to_string(i) + "=" + std::string(40, 'v'));
  env.push_back("XAUTHORITY=/at/the/end");
  tree.addProcess(5000001, 1000, env);
  std::vector<Visit> visits = scanAll(tree.root(), {5000001});
  ASSERT_EQ(visits.size(), 1u);
  EXPECT_EQ(visits[0].kind, Kind::found);
  EXPECT_EQ(visits[0].value, "/at/the/end");
}

TEST(ProcessTableTest, AnEnvironmentBeyondTheReadLimitIsUnusable) {
  FakeProcTree tree;
  tree.addProcess(5000001, 1000, "/never/reached");
  // A sparse file: reads as NULs (empty entries) up to the size, with the
  // variable only after the limit.
  std::string path = tree.path("5000001/environ");
  std::filesystem::resize_file(path, 0);
  std::filesystem::resize_file(path, tx::ProcessTable::maxEnvironSize + 10);
  {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out << "XAUTHORITY=/never/reached"s << '\0';
  }
  std::vector<Visit> visits = scanAll(tree.root(), {5000001});
  ASSERT_EQ(visits.size(), 1u);
  EXPECT_EQ(visits[0].kind, Kind::unusable);
  EXPECT_TRUE(visits[0].value.empty());
}

// A child with a known environment, stopped and reaped by the test.
class SleepingChild {
public:
  explicit SleepingChild(std::vector<std::string> env) : env_(std::move(env)) {
    std::vector<char*> envp;
    for (std::string& e : env_)
      envp.push_back(e.data());
    envp.push_back(nullptr);
    char sleepArg[] = "sleep";
    char seconds[] = "300";
    char* argv[] = {sleepArg, seconds, nullptr};
    if (posix_spawn(&pid_, "/bin/sleep", nullptr, nullptr, argv, envp.data()) != 0)
      pid_ = -1;
  }
  ~SleepingChild() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  pid_t pid() const { return pid_; }

  // Until the child's new image has set up its stack, /proc shows the
  // parent's environment or none; its name changes earlier than that.
  bool waitUntilExecuted() const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::string environ = "/proc/" + std::to_string(pid_) + "/environ";
    while (std::chrono::steady_clock::now() < deadline) {
      std::ifstream in(environ, std::ios::binary);
      std::string first;
      std::getline(in, first, '\0');
      if (first == env_.front())
        return true;
      sched_yield();
    }
    return false;
  }

private:
  std::vector<std::string> env_;
  pid_t pid_ = -1;
};

TEST(ProcessTableTest, ReadsTheRealProcessTable) {
  SleepingChild child({"HOME=/nowhere", "XAUTHORITY=/tmp/kwo-test-xauthority", "LANG=C"});
  ASSERT_GT(child.pid(), 0);
  ASSERT_TRUE(child.waitUntilExecuted());
  std::vector<Visit> visits = scanAll("/proc", {uint32_t(child.pid()), uint32_t(getpid())});
  ASSERT_EQ(visits.size(), 2u);
  for (const Visit& v : visits) {
    SCOPED_TRACE(v.pid);
    EXPECT_EQ(v.uid, getuid());
    if (v.pid == uint32_t(child.pid())) {
      EXPECT_EQ(v.kind, Kind::found);
      EXPECT_EQ(v.value, "/tmp/kwo-test-xauthority");
    }
  }
}

} // namespace
