#include "base/plat/Exception.h"
#include "base/plat/unix/SharedMemDir.h"
#include "base/plat/unix/SharedMemMarker.h"
#include "base/plat/unix/SharedMemPosix.h"
#include "base/plat/unix/SharedMemSysV.h"

#include "SharedMemTestSupport.h"
#include "testsupport/LogRecorder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

using plat::SharedMemDir;
using shmtest::exists;
using shmtest::modeOf;

class SharedMemDirTest : public ::testing::Test {
protected:
  std::string runtime() const { return SharedMemDir::runtimePath(base.path()); }

  // The message of the exception that makeMarkerDir throws, or "" if none.
  std::string refusal() {
    try {
      SharedMemDir::makeMarkerDir(base.path(), SharedMemDir::kindPosix);
    } catch (const plat::Exception& e) {
      EXPECT_FALSE(e.hasType()) << e.describe();
      return e.str();
    }
    return "";
  }

  shmtest::PrivateBase base;
  shmtest::PrivateBase elsewhere;
};

TEST_F(SharedMemDirTest, NamesFollowTheUserAndKind) {
  std::string uid = std::to_string(geteuid());
  EXPECT_EQ("/tmp/.kwo-" + uid, SharedMemDir::runtimePath("/tmp"));
  EXPECT_EQ("/b/.kwo-" + uid + "/shm/Posix",
            SharedMemDir::markerPath("/b", SharedMemDir::kindPosix));
  EXPECT_EQ("/b/.kwo-" + uid + "/shm/SysV", SharedMemDir::markerPath("/b", SharedMemDir::kindSysV));
  EXPECT_STREQ("/tmp", SharedMemDir::defaultBase);
}

TEST_F(SharedMemDirTest, MakesEveryMissingLevelPrivate) {
  mode_t oldMask = umask(0);
  std::string made = SharedMemDir::makeMarkerDir(base.path(), SharedMemDir::kindSysV);
  umask(oldMask);
  EXPECT_EQ(SharedMemDir::markerPath(base.path(), SharedMemDir::kindSysV), made);
  for (const std::string& level : {runtime(), runtime() + "/shm", made}) {
    SCOPED_TRACE(level);
    EXPECT_EQ(0700u, modeOf(level));
  }
  // A second call finds everything in place.
  EXPECT_EQ(made, SharedMemDir::makeMarkerDir(base.path(), SharedMemDir::kindSysV));
}

TEST_F(SharedMemDirTest, OpenMarkerDirReportsAMissingLevelAsNothing) {
  EXPECT_FALSE(SharedMemDir::openMarkerDir(base.path(), SharedMemDir::kindPosix));
  ASSERT_EQ(0, mkdir(runtime().c_str(), 0700));
  EXPECT_FALSE(SharedMemDir::openMarkerDir(base.path(), SharedMemDir::kindPosix));
  SharedMemDir::makeMarkerDir(base.path(), SharedMemDir::kindPosix);
  EXPECT_TRUE(SharedMemDir::openMarkerDir(base.path(), SharedMemDir::kindPosix));
}

// Used to go wrong: a runtime directory planted in /tmp as a symbolic link by
// another user was followed, and markers were written (and stale clean-ups
// run) wherever it pointed.
TEST_F(SharedMemDirTest, SymlinkedRuntimeDirectoryIsRefused) {
  ASSERT_EQ(0, chmod(elsewhere.path().c_str(), 0700));
  ASSERT_EQ(0, symlink(elsewhere.path().c_str(), runtime().c_str()));
  std::string message = refusal();
  EXPECT_EQ("Refusing unsafe directory " + runtime() + ": it is a symbolic link", message);
  EXPECT_FALSE(exists(elsewhere.path() + "/shm"));
  EXPECT_THROW(SharedMemDir::openMarkerDir(base.path(), SharedMemDir::kindPosix), plat::Exception);
}

TEST_F(SharedMemDirTest, SymlinkedLowerLevelIsRefused) {
  ASSERT_EQ(0, mkdir(runtime().c_str(), 0700));
  ASSERT_EQ(0, chmod(elsewhere.path().c_str(), 0700));
  ASSERT_EQ(0, symlink(elsewhere.path().c_str(), (runtime() + "/shm").c_str()));
  EXPECT_EQ("Refusing unsafe directory " + runtime() + "/shm: it is a symbolic link", refusal());
  EXPECT_FALSE(exists(elsewhere.path() + "/Posix"));
}

// Used to go wrong: an existing runtime directory was used whatever its mode,
// so other users could plant or delete marker files in it.
TEST_F(SharedMemDirTest, DirectoryOpenToGroupOrOthersIsRefused) {
  struct Case {
    mode_t mode;
    bool accepted;
  };
  const Case cases[] = {{0700, true}, {0750, false}, {0705, false}, {0777, false},
                        {0710, false}, {0701, false}, {0500, true}};
  ASSERT_EQ(0, mkdir(runtime().c_str(), 0700));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    ASSERT_EQ(0, chmod(runtime().c_str(), c.mode));
    std::string message = refusal();
    if (c.accepted) {
      EXPECT_EQ("", message);
      continue;
    }
    char expected[16];
    snprintf(expected, sizeof expected, "%04o", unsigned(c.mode));
    EXPECT_EQ("Refusing unsafe directory " + runtime() + ": group or others have access (mode " +
                  expected + ")",
              message);
  }
}

TEST_F(SharedMemDirTest, DirectoryOfAnotherUserIsRefused) {
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root to give the directory away";
  ASSERT_EQ(0, mkdir(runtime().c_str(), 0700));
  ASSERT_EQ(0, chown(runtime().c_str(), 65534, 65534));
  EXPECT_EQ("Refusing unsafe directory " + runtime() + ": it is owned by uid 65534, not 0",
            refusal());
}

TEST_F(SharedMemDirTest, FileInPlaceOfTheDirectoryIsRefused) {
  std::ofstream(runtime()) << "x";
  EXPECT_EQ("Refusing unsafe directory " + runtime() + ": it is not a directory", refusal());
}

TEST_F(SharedMemDirTest, AnUnsafeDirectoryLeavesSegmentsWithoutMarkers) {
  // Used to fail the creation: another user who made the directory first
  // kept every desktop of this user from starting.
  ASSERT_EQ(0, mkdir(runtime().c_str(), 0777));
  ASSERT_EQ(0, chmod(runtime().c_str(), 0777));
  testsupport::LogRecorder log("SharedMem*", 0);
  for (int round = 0; round < 2; round++) {
    SCOPED_TRACE(round);
    plat::SharedMemPosix posix(4096, base.path());
    EXPECT_EQ(posix.markerPath(), "");
    plat::SharedMemSysV sysV(4096, nullptr, base.path());
    EXPECT_EQ(sysV.markerPath(), "");
  }
  EXPECT_FALSE(exists(runtime() + "/shm"));
  // Once per directory.
  const std::string reason = "Refusing unsafe directory " + runtime() +
                             ": group or others have access (mode 0777); shared memory is "
                             "created without markers";
  EXPECT_EQ(log.texts(), (std::vector<std::string>{reason, reason}));
}

class SharedMemMarkerTest : public ::testing::Test {
protected:
  void SetUp() override { dir = SharedMemDir::makeMarkerDir(base.path(), SharedMemDir::kindPosix); }

  shmtest::PrivateBase base;
  std::string dir;
};

TEST_F(SharedMemMarkerTest, MarkerIsPrivateEmptyCloseOnExecAndRemovedOnRelease) {
  std::string path = dir + "/m";
  std::ofstream(path) << "leftover";
  ASSERT_EQ(0, chmod(path.c_str(), 0666));
  {
    plat::SharedMemMarker marker;
    ASSERT_TRUE(marker.acquire(path));
    EXPECT_TRUE(marker.held());
    EXPECT_EQ(0600u, modeOf(path));
    EXPECT_EQ(0u, std::filesystem::file_size(path));
    long flags = shmtest::openFlagsOf(path);
    ASSERT_NE(-1, flags);
    EXPECT_TRUE(flags & O_CLOEXEC);
  }
  EXPECT_FALSE(exists(path));
}

TEST_F(SharedMemMarkerTest, SymlinkInPlaceOfTheMarkerIsNotFollowed) {
  shmtest::PrivateBase target;
  std::string victim = target.path() + "/victim";
  std::ofstream(victim) << "keep me";
  mode_t victimMode = modeOf(victim);
  std::string path = dir + "/m";
  ASSERT_EQ(0, symlink(victim.c_str(), path.c_str()));
  plat::SharedMemMarker marker;
  try {
    marker.acquire(path);
    ADD_FAILURE() << "a link was accepted as a marker";
  } catch (const plat::SystemException& e) {
    EXPECT_EQ(ELOOP, e.err());
    EXPECT_EQ(0, std::string(e.str()).rfind("open(" + path + "): ", 0)) << e.str();
  }
  std::string content;
  std::getline(std::ifstream(victim), content);
  EXPECT_EQ("keep me", content);
  EXPECT_EQ(victimMode, modeOf(victim));
}

TEST_F(SharedMemMarkerTest, LockHeldElsewhereIsRefusedWithoutError) {
  std::string path = dir + "/m";
  shmtest::MarkerHolder holder(path);
  ASSERT_TRUE(holder.held());
  plat::SharedMemMarker marker;
  EXPECT_FALSE(marker.acquire(path));
  EXPECT_FALSE(marker.held());
  {
    plat::ScopedFd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY));
    EXPECT_EQ(plat::SharedMemMarker::Probe::held, plat::SharedMemMarker::probe(fd.get(), "m"));
  }
  EXPECT_EQ(0, holder.release());
  EXPECT_FALSE(exists(path));
}

TEST_F(SharedMemMarkerTest, ReleaseLeavesAFileThatReplacedTheMarker) {
  std::string path = dir + "/m";
  plat::SharedMemMarker marker;
  ASSERT_TRUE(marker.acquire(path));
  ASSERT_EQ(0, rename(path.c_str(), (dir + "/moved").c_str()));
  std::ofstream(path) << "someone else's";
  marker.release();
  EXPECT_TRUE(exists(path));
  EXPECT_TRUE(exists(dir + "/moved"));
}

TEST_F(SharedMemMarkerTest, ProbeTellsFreeMarkersAndNonFiles) {
  plat::ScopedFd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY));
  std::ofstream(dir + "/free") << "";
  ASSERT_EQ(0, mkdir((dir + "/sub").c_str(), 0700));
  ASSERT_EQ(0, mkfifo((dir + "/fifo").c_str(), 0600));
  EXPECT_EQ(plat::SharedMemMarker::Probe::free, plat::SharedMemMarker::probe(fd.get(), "free"));
  EXPECT_EQ(plat::SharedMemMarker::Probe::notAFile, plat::SharedMemMarker::probe(fd.get(), "sub"));
  EXPECT_EQ(plat::SharedMemMarker::Probe::notAFile, plat::SharedMemMarker::probe(fd.get(), "fifo"));
  EXPECT_THROW(plat::SharedMemMarker::probe(fd.get(), "missing"), plat::SystemException);
}

} // namespace
