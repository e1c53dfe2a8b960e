#include "base/plat/Configuration.h"
#include "base/plat/ConfigParameter.h"
#include "base/plat/LogDestFile.h"
#include "base/plat/LogFileRotation.h"
#include "base/plat/LogSetting.h"
#include "base/plat/LogSrc.h"

#include "LogTestSupport.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <set>
#include <thread>

using logtest::LogStateTest;
using logtest::StderrCapture;
using logtest::TempDir;
using logtest::readFile;
using logtest::setMtime;
using logtest::writeFile;

namespace {

// 2024-03-05T07:08:09.123456789Z
constexpr timespec fixedTime{1709622489, 123456789};

std::string pidText() {
  return std::to_string(getpid());
}

// A destination writing to a file in a scratch directory, with a fixed
// identity and clock.
class FixedFileDest {
public:
  explicit FixedFileDest(const char* name)
    : path_(dir_ / "out.log"), stream_(std::fopen(path_.c_str(), "w")), dest_(name, stream_) {
    dest_.setAppName("kwoagent-x11");
    dest_.setHostName("myhost");
    dest_.setClock([] { return fixedTime; });
    dest_.setColour(false);
  }
  ~FixedFileDest() {
    dest_.setStream(nullptr, false);
    std::fclose(stream_);
  }
  plat::LogDestFile& dest() { return dest_; }
  std::string content() { return readFile(path_); }
  const TempDir& dir() const { return dir_; }

private:
  TempDir dir_;
  std::string path_;
  std::FILE* stream_;
  plat::LogDestFile dest_;
};

TEST(LogDestFileTest, SyslogStyleLineCarriesPriorityUtcTimeHostAppAndPid) {
  FixedFileDest file("FileFormat");
  file.dest().write(30, "SDesktopX11", "hello world");
  EXPECT_EQ("<14> 2024-03-05T07:08:09.123Z myhost kwoagent-x11[" + pidText() +
                "]: SDesktopX11: hello world\n",
            file.content());
}

TEST(LogDestFileTest, PriorityFollowsTheLevel) {
  const std::pair<int, int> cases[] = {{0, 11},  {1, 12},   {5, 12},   {6, 13},  {10, 13},
                                       {11, 14}, {30, 14},  {31, 15},  {100, 15}, {110, 15}};
  for (auto [level, priority] : cases) {
    SCOPED_TRACE(level);
    FixedFileDest file("FilePriority");
    file.dest().write(level, "S", "t");
    EXPECT_EQ("<" + std::to_string(priority) + "> 2024-03-05T07:08:09.123Z myhost kwoagent-x11[" +
                  pidText() + "]: S: t\n",
              file.content());
  }
}

TEST(LogDestFileTest, ColourSwitchesBeforeAndResetsAfterTheLine) {
  const std::pair<int, const char*> cases[] = {
    {0, "31;1"}, {5, "31;1"}, {6, "31"}, {10, "31"}, {11, "36"}, {30, "36"}, {31, "0"}, {110, "0"}};
  for (auto [level, code] : cases) {
    SCOPED_TRACE(level);
    FixedFileDest file("FileColour");
    file.dest().setColour(true);
    file.dest().setCompact(true);
    setenv("TZ", "UTC0", 1);
    tzset();
    file.dest().write(level, "S", "t");
    EXPECT_EQ(std::string("\033[") + code + "m07:08:09.123 S: t\n\033[0m", file.content());
  }
}

TEST(LogDestFileTest, CompactLineUsesLocalTime) {
  const char* savedTz = getenv("TZ");
  std::string saved = savedTz ? savedTz : "";
  // Two hours east of UTC, no daylight saving.
  setenv("TZ", "XYZ-2", 1);
  tzset();
  FixedFileDest file("FileCompact");
  file.dest().setCompact(true);
  file.dest().write(30, "Src", "compact text");
  EXPECT_EQ("09:08:09.123 Src: compact text\n", file.content());
  if (savedTz)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

TEST(LogDestFileTest, BannerIsWrappedAtSeventyNineColumnsOncePerStream) {
  FixedFileDest file("FileBanner");
  // Nine-letter words: eight of them with their spaces make exactly 79.
  std::string banner;
  for (int i = 0; i < 20; i++)
    banner += (i ? " " : "") + std::string("abcdefgh") + char('a' + i);
  file.dest().setBanner(banner);
  file.dest().write(30, "S", "one");
  file.dest().write(30, "S", "two");
  std::string line1 = banner.substr(0, 79);
  std::string line2 = banner.substr(80, 79);
  std::string line3 = banner.substr(160);
  std::string prefix = "<14> 2024-03-05T07:08:09.123Z myhost kwoagent-x11[" + pidText() + "]: S: ";
  EXPECT_EQ(line1 + "\n" + line2 + "\n" + line3 + "\n" + prefix + "one\n" + prefix + "two\n",
            file.content());

  // A new stream gets the banner again.
  TempDir other;
  std::FILE* stream = std::fopen((other / "next.log").c_str(), "w");
  file.dest().setStream(stream, true);
  file.dest().write(30, "S", "three");
  file.dest().setStream(nullptr, false);
  EXPECT_EQ(line1 + "\n" + line2 + "\n" + line3 + "\n" + prefix + "three\n",
            readFile(other / "next.log"));
}

TEST(LogDestFileTest, ActiveOnlyWithAPathOrAStream) {
  plat::LogDestFile dest("FileActive");
  EXPECT_FALSE(dest.isActive());
  dest.setPath("/nonexistent/never-opened.log");
  EXPECT_TRUE(dest.isActive());
  dest.setPath(std::nullopt);
  EXPECT_FALSE(dest.isActive());
  dest.setStream(stderr, false);
  EXPECT_TRUE(dest.isActive());
}

std::string stampOf(time_t mtime) {
  tm local{};
  localtime_r(&mtime, &local);
  char text[32];
  strftime(text, sizeof(text), "%Y%m%d%H%M%S", &local);
  return text;
}

std::set<std::string> filesIn(const std::string& dir) {
  std::set<std::string> names;
  DIR* handle = opendir(dir.c_str());
  while (dirent* entry = readdir(handle)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..")
      names.insert(name);
  }
  closedir(handle);
  return names;
}

TEST(LogDestFileTest, OpeningCreatesDirectoriesAndAppends) {
  TempDir dir;
  std::string path = dir / "a/b/c/agent.log";
  plat::LogDestFile dest("FileCreate");
  dest.setClock([] { return fixedTime; });
  dest.setPath(path);
  dest.write(0, "S", "first");
  dest.write(0, "S", "second");
  std::string content = readFile(path);
  EXPECT_NE(std::string::npos, content.find("S: first\n"));
  EXPECT_NE(std::string::npos, content.find("S: second\n"));
  struct stat info;
  ASSERT_EQ(0, stat((dir / "a/b").c_str(), &info));
  EXPECT_EQ(0700u, info.st_mode & 0777);
}

TEST(LogDestFileTest, RotationRemovesExpiredFilesAndRenamesTheCurrentOne) {
  TempDir dir;
  time_t now = time(nullptr);
  time_t current = now - 3600;
  writeFile(dir / "agent.log", "previous run\n");
  setMtime(dir / "agent.log", current);
  writeFile(dir / "agent.log.20200101000000", "expired\n");
  setMtime(dir / "agent.log.20200101000000", now - 40 * 86400);
  writeFile(dir / "agent.log.recent", "recent\n");
  setMtime(dir / "agent.log.recent", now - 86400);
  writeFile(dir / "agent.logx", "no dot after the name\n");
  setMtime(dir / "agent.logx", now - 40 * 86400);
  writeFile(dir / "other.log.1", "another log\n");
  setMtime(dir / "other.log.1", now - 40 * 86400);
  ASSERT_EQ(0, mkdir((dir / "agent.log.dir").c_str(), 0700));
  setMtime(dir / "agent.log.dir", now - 40 * 86400);

  plat::LogDestFile dest("FileRotate");
  dest.setKeepDays(30);
  dest.setPath(dir / "agent.log");
  dest.write(0, "S", "new run");

  std::string rotated = "agent.log." + stampOf(current);
  EXPECT_EQ((std::set<std::string>{"agent.log", rotated, "agent.log.recent", "agent.logx",
                                   "other.log.1", "agent.log.dir"}),
            filesIn(dir.path()));
  EXPECT_EQ("previous run\n", readFile(dir / rotated));
  EXPECT_NE(std::string::npos, readFile(dir / "agent.log").find("S: new run\n"));
}

TEST(LogDestFileTest, RotationPicksAFreeNameWhenTheStampIsTaken) {
  TempDir dir;
  time_t current = time(nullptr) - 600;
  std::string stamped = dir / ("agent.log." + stampOf(current));
  writeFile(stamped, "older rotation\n");
  writeFile(stamped + ".1", "second older rotation\n");
  writeFile(dir / "agent.log", "previous run\n");
  setMtime(dir / "agent.log", current);
  plat::rotateLogFile(dir / "agent.log", 30, time(nullptr));
  EXPECT_EQ("older rotation\n", readFile(stamped));
  EXPECT_EQ("second older rotation\n", readFile(stamped + ".1"));
  EXPECT_EQ("previous run\n", readFile(stamped + ".2"));
  EXPECT_FALSE(logtest::fileExists(dir / "agent.log"));
}

TEST(LogDestFileTest, KeepDaysZeroRemovesEveryEarlierRotation) {
  TempDir dir;
  time_t now = time(nullptr);
  writeFile(dir / "agent.log.a", "a\n");
  setMtime(dir / "agent.log.a", now - 10);
  writeFile(dir / "agent.log", "current\n");
  setMtime(dir / "agent.log", now - 5);
  plat::rotateLogFile(dir / "agent.log", 0, now);
  EXPECT_EQ((std::set<std::string>{"agent.log." + stampOf(now - 5)}), filesIn(dir.path()));
}

TEST(LogDestFileTest, UnopenablePathFallsBackToTheDefaultPathAndReportsOnce) {
  struct Case {
    const char* name;
    const char* path;
    const char* defaultPath;
    bool reverts;
    const char* defaultError;
    bool defaultWritten;
  };
  const Case cases[] = {
    {"default usable", "afile/sub/agent.log", "default.log", true, "", true},
    // Used to repeat all three lines (and a rotation attempt) for every message.
    {"both failing", "afile/agent.log", "afile/default.log", true,
     "Error opening default log file: Not a directory\n", false},
    {"path is the default", "afile/agent.log", "afile/agent.log", false, "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    writeFile(dir / "afile", "a regular file, not a directory\n");
    plat::LogDestFile dest("FileFallback");
    dest.setPath(dir / c.path);
    dest.setDefaultPath(dir / c.defaultPath);
    StderrCapture capture;
    dest.write(0, "S", "goes to the default");
    dest.write(0, "S", "goes there too");
    std::string reverting = "Reverting to default log file " + dir / c.defaultPath + "\n";
    EXPECT_EQ("Error opening log file: Not a directory\n" + (c.reverts ? reverting : "") +
                  c.defaultError,
              capture.text());
    EXPECT_EQ(c.defaultWritten,
              readFile(dir / c.defaultPath).find("S: goes there too\n") != std::string::npos);
    EXPECT_TRUE(dest.isActive());

    // A new path is tried afresh.
    dest.setPath(dir / "good.log");
    dest.write(0, "S", "written");
    EXPECT_NE(std::string::npos, readFile(dir / "good.log").find("S: written\n"));
  }
}

TEST(LogDestFileTest, SizeLimitClosesTheFileCallsTheHandlerAndTheNextWriteRotates) {
  TempDir dir;
  plat::LogDestFile dest("FileLimit");
  dest.setHostName("h");
  dest.setAppName("a");
  dest.setClock([] { return fixedTime; });
  std::string prefix = "<11> 2024-03-05T07:08:09.123Z h a[" + pidText() + "]: S: ";
  std::string text(100 - prefix.size() - 1, 'x');
  ASSERT_EQ(100u, prefix.size() + text.size() + 1);
  dest.setSizeLimit(250);
  int handled = 0;
  dest.setReopenHandler([&](plat::LogDestFile& self) {
    handled++;
    // Dropped: the file is closed for rotation.
    self.write(0, "S", "from the handler");
  });
  dest.setPath(dir / "agent.log");
  dest.write(0, "S", text.c_str());
  dest.write(0, "S", text.c_str());
  EXPECT_EQ(0, handled);
  dest.write(0, "S", text.c_str());
  EXPECT_EQ(1, handled);
  EXPECT_EQ(300u, readFile(dir / "agent.log").size());
  dest.write(0, "S", "after");
  std::set<std::string> files = filesIn(dir.path());
  ASSERT_EQ(2u, files.size());
  std::string rotated = *std::next(files.begin());
  EXPECT_EQ(300u, readFile(dir / rotated).size());
  EXPECT_EQ(prefix + "after\n", readFile(dir / "agent.log"));
  dest.setPath(std::nullopt);
}

TEST(LogDestFileTest, ReopenHandlerMayHandOverANewStream) {
  TempDir dir;
  std::FILE* first = std::fopen((dir / "first.log").c_str(), "w");
  plat::LogDestFile dest("FileReopen", first);
  dest.setSizeLimit(10);
  dest.setReopenHandler([&](plat::LogDestFile& self) {
    self.setStream(std::fopen((dir / "second.log").c_str(), "a"), true);
  });
  dest.write(0, "S", "to the first file");
  dest.write(0, "S", "to the second file");
  dest.setStream(nullptr, false);
  std::fclose(first);
  EXPECT_NE(std::string::npos, readFile(dir / "first.log").find("S: to the first file\n"));
  EXPECT_NE(std::string::npos, readFile(dir / "second.log").find("S: to the second file\n"));
}

plat::LogSrc threadLog("FileThreadSrc");

class LogFileThreadTest : public LogStateTest {};

TEST_F(LogFileThreadTest, ManyThreadsLoggingAtOnceLoseAndTearNoLine) {
  constexpr int threads = 8;
  constexpr int perThread = 2000;
  TempDir dir;
  plat::LogDestFile dest("FileThreads");
  dest.setPath(dir / "threads.log");
  plat::setLogSetting("FileThreadSrc:filethreads:30");
  plat::endStartup();

  std::atomic<bool> stop{false};
  // Rebinding while others log must neither lose nor break messages.
  std::thread rebinder([&] {
    while (!stop)
      plat::setLogSetting("FileThreadSrc:filethreads:30");
  });
  std::vector<std::thread> workers;
  std::string padding(120, 'p');
  for (int t = 0; t < threads; t++) {
    workers.emplace_back([t, &padding] {
      for (int i = 0; i < perThread; i++)
        threadLog.status("thread %d line %d %s", t, i, padding.c_str());
    });
  }
  for (std::thread& worker : workers)
    worker.join();
  stop = true;
  rebinder.join();
  dest.setPath(std::nullopt);

  std::vector<std::set<int>> seen(threads);
  std::istringstream lines(readFile(dir / "threads.log"));
  std::string line;
  std::string suffix = " " + padding;
  int count = 0;
  while (std::getline(lines, line)) {
    count++;
    size_t start = line.find("]: FileThreadSrc: thread ");
    ASSERT_EQ(0u, line.rfind("<14> ", 0)) << line;
    ASSERT_NE(std::string::npos, start) << line;
    int t = -1, i = -1;
    ASSERT_EQ(2, sscanf(line.c_str() + start, "]: FileThreadSrc: thread %d line %d", &t, &i));
    ASSERT_TRUE(t >= 0 && t < threads && i >= 0 && i < perThread) << line;
    ASSERT_EQ(suffix, line.substr(line.size() - suffix.size())) << line;
    EXPECT_TRUE(seen[t].insert(i).second) << line;
  }
  EXPECT_EQ(threads * perThread, count);
  for (int t = 0; t < threads; t++)
    EXPECT_EQ(size_t(perThread), seen[t].size()) << t;
}

class LogFileParamTest : public LogStateTest {
protected:
  void SetUp() override {
    LogStateTest::SetUp();
    savedDirDefault_ = param("LogDir").valueText(0);
    savedFileDefault_ = param("LogFile").valueText(0);
  }
  void TearDown() override {
    param("LogDir").reset(false);
    param("LogFile").reset(false);
    param("LogDir").setParam(savedDirDefault_.c_str(), 0);
    param("LogFile").setParam(savedFileDefault_.c_str(), 0);
    LogStateTest::TearDown();
  }
  static plat::ConfigParameter& param(const char* name) {
    return *plat::Configuration::global().findParam(name);
  }

private:
  std::string savedDirDefault_;
  std::string savedFileDefault_;
};

plat::LogSrc fallbackLog("FileFallbackSrc");

TEST_F(LogFileParamTest, ChangedLogDirThatCannotBeUsedRevertsToTheDefaults) {
  TempDir dir;
  writeFile(dir / "afile", "x");
  param("LogDir").setParam(dir.path().c_str(), 0);
  param("LogFile").setParam("fallback.log", 0);
  param("LogDir").setParam((dir / "afile/sub").c_str(), 10);
  plat::setLogSetting("FileFallbackSrc:file:30");
  plat::endStartup();
  StderrCapture capture;
  fallbackLog.status("after the fallback");
  EXPECT_EQ("Error opening log file: Not a directory\n"
            "Reverting to default log file " + dir / "fallback.log" + "\n",
            capture.text());
  EXPECT_NE(std::string::npos,
            readFile(dir / "fallback.log").find("FileFallbackSrc: after the fallback\n"));
  plat::LogDestFile::fileDest().setPath(std::nullopt);
}

} // namespace
