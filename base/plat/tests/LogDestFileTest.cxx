#include "base/plat/LogDestFile.h"
#include "base/plat/LogFileRotation.h"

#include "LogTestSupport.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sys/stat.h>
#include <sys/time.h>

using logtest::readFile;
using logtest::writeFile;
using testsupport::TempDir;

namespace {

// 2024-03-05T07:08:09.123456789Z
constexpr timespec fixedTime{1709622489, 123456789};

std::string syslogPrefix(int priority, const char* host = "myhost",
                         const char* app = "kwoagent-x11") {
  return "<" + std::to_string(priority) + "> 2024-03-05T07:08:09.123Z " + host + " " + app + "[" +
         std::to_string(getpid()) + "]: ";
}

// A destination in a scratch directory with a fixed identity and clock.
class FixedFileDest : public plat::LogDestFile {
public:
  explicit FixedFileDest(const char* host = "myhost", const char* app = "kwoagent-x11")
    : LogDestFile("FileFixed") {
    setAppName(app);
    setHostName(host);
    setClock([] { return fixedTime; });
    setColour(false);
    setPath(path);
  }
  ~FixedFileDest() { setPath(std::nullopt); }
  std::string content() { return readFile(path); }

  TempDir dir;
  std::string path = dir.path() + "/out.log";
};

std::set<std::string> filesIn(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    names.insert(entry.path().filename());
  return names;
}

TEST(LogDestFileTest, SyslogLinesInUtcOrCompactLinesInLocalTimeColouredByLevel) {
  const char* savedTz = getenv("TZ");
  std::string saved = savedTz ? savedTz : "";
  setenv("TZ", "XYZ-2", 1); // two hours east of UTC, no daylight saving
  tzset();
  // Level, syslog priority, colour.
  const std::tuple<int, int, const char*> cases[] = {
    {0, 11, "31;1"}, {5, 12, "31;1"}, {6, 13, "31"}, {11, 14, "36"}, {30, 14, "36"}, {31, 15, "0"}};
  for (auto [level, priority, code] : cases) {
    SCOPED_TRACE(level);
    FixedFileDest plain;
    plain.write(level, "SDesktopX11", "hello world");
    EXPECT_EQ(syslogPrefix(priority) + "SDesktopX11: hello world\n", plain.content());
    FixedFileDest coloured;
    coloured.setColour(true);
    coloured.setCompact(true);
    coloured.write(level, "S", "t");
    EXPECT_EQ(std::string("\033[") + code + "m09:08:09.123 S: t\n\033[0m", coloured.content());
  }
  savedTz ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ");
  tzset();
}

TEST(LogDestFileTest, OpeningRotatesTheCurrentFileAndRemovesExpiredOnes) {
  TempDir dir;
  auto at = [&](const std::string& name) { return dir.path() + "/" + name; };
  time_t now = time(nullptr);
  time_t current = now - 3600;
  const std::pair<const char*, time_t> planted[] = {
    {"agent.log", current},            {"agent.log.20200101000000", now - 40 * 86400},
    {"agent.log.recent", now - 86400}, {"agent.logx", now - 40 * 86400},
    {"other.log.1", now - 40 * 86400}, {"agent.log.dir", now - 40 * 86400}};
  ASSERT_EQ(0, mkdir(at("agent.log.dir").c_str(), 0700));
  for (auto [name, mtime] : planted) {
    if (!std::filesystem::exists(at(name)))
      writeFile(at(name), name);
    timeval times[2] = {{mtime, 0}, {mtime, 0}};
    ASSERT_EQ(0, utimes(at(name).c_str(), times)) << name;
  }
  // The stamp of the current file is taken twice over: the next free name.
  tm local{};
  localtime_r(&current, &local);
  char stamp[32];
  strftime(stamp, sizeof(stamp), "%Y%m%d%H%M%S", &local);
  std::string rotated = "agent.log." + std::string(stamp);
  writeFile(at(rotated), "older");
  writeFile(at(rotated + ".1"), "older");

  plat::LogDestFile dest("FileRotate");
  dest.setKeepDays(30);
  dest.setPath(at("agent.log"));
  dest.write(0, "S", "new run");
  dest.setPath(std::nullopt);

  EXPECT_EQ((std::set<std::string>{"agent.log", rotated, rotated + ".1", rotated + ".2",
                                   "agent.log.recent", "agent.logx", "other.log.1",
                                   "agent.log.dir"}),
            filesIn(dir.path()));
  EXPECT_EQ("agent.log", readFile(at(rotated + ".2")));
  EXPECT_NE(std::string::npos, readFile(at("agent.log")).find("S: new run\n"));

  // Zero days to keep: every earlier rotation goes.
  plat::rotateLogFile(at("agent.log"), 0, now + 10);
  std::set<std::string> left = filesIn(dir.path());
  EXPECT_EQ(4u, left.size()); // the newest rotation, agent.logx, other.log.1, the directory
  EXPECT_FALSE(left.count("agent.log") || left.count("agent.log.recent") || left.count(rotated));
  // Only a regular file is moved aside: never a directory or a device.
  plat::rotateLogFile(at("agent.log.dir"), 0, now + 10);
  EXPECT_TRUE(std::filesystem::is_directory(at("agent.log.dir")));
}

TEST(LogDestFileTest, UnopenablePathFallsBackToTheDefaultPathAndReportsOnce) {
  struct Case {
    const char* path;
    const char* defaultPath;
    bool reverts;
    const char* defaultError;
    bool defaultWritten;
  };
  const Case cases[] = {
    {"afile/sub/agent.log", "default.log", true, "", true},
    // Used to repeat all three lines (and a rotation attempt) for every message.
    {"afile/agent.log", "afile/default.log", true,
     "Error opening default log file: Not a directory\n", false},
    {"afile/agent.log", "afile/agent.log", false, "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.defaultPath);
    TempDir dir;
    std::string base = dir.path() + "/";
    writeFile(base + "afile", "a regular file, not a directory\n");
    plat::LogDestFile dest("FileFallback");
    EXPECT_FALSE(dest.isActive()) << "no path yet";
    dest.setPath(base + c.path);
    dest.setDefaultPath(base + c.defaultPath);
    testing::internal::CaptureStderr();
    dest.write(0, "S", "goes to the default");
    dest.write(0, "S", "goes there too");
    std::string reverting = "Reverting to default log file " + base + c.defaultPath + "\n";
    EXPECT_EQ("Error opening log file: Not a directory\n" + (c.reverts ? reverting : "") +
                c.defaultError,
              testing::internal::GetCapturedStderr());
    EXPECT_EQ(c.defaultWritten,
              readFile(base + c.defaultPath).find("S: goes there too\n") != std::string::npos);

    // A new path is tried afresh, in private directories made for it.
    dest.setPath(base + "new/dirs/good.log");
    dest.write(0, "S", "written");
    EXPECT_NE(std::string::npos, readFile(base + "new/dirs/good.log").find("S: written\n"));
    EXPECT_EQ(std::filesystem::perms(0700),
              std::filesystem::status(base + "new").permissions());
    dest.setPath(std::nullopt);
    EXPECT_FALSE(dest.isActive());
  }
}

TEST(LogDestFileTest, SizeLimitClosesTheFileCallsTheHandlerAndTheNextWriteRotates) {
  FixedFileDest dest("h", "a");
  std::string prefix = syslogPrefix(11, "h", "a") + "S: ";
  std::string text(100 - prefix.size() - 1, 'x'); // 100-byte lines
  dest.setSizeLimit(250);
  int handled = 0;
  dest.setReopenHandler([&](plat::LogDestFile& self) {
    handled++;
    self.write(0, "S", "from the handler"); // dropped: the file is closed for rotation
  });
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(0, handled);
    dest.write(0, "S", text.c_str());
  }
  EXPECT_EQ(1, handled);
  EXPECT_EQ(300u, dest.content().size());
  dest.write(0, "S", "after");
  std::set<std::string> files = filesIn(dest.dir.path());
  ASSERT_EQ(2u, files.size());
  EXPECT_EQ(300u, readFile(dest.dir.path() + "/" + *files.rbegin()).size());
  EXPECT_EQ(prefix + "after\n", dest.content());
}

} // namespace
