#include "base/plat/Exception.h"
#include "base/plat/unix/SharedMemDir.h"
#include "base/plat/unix/SharedMemMarker.h"
#include "base/plat/unix/SharedMemPosix.h"
#include "base/plat/unix/SharedMemSysV.h"

#include "SharedMemTestSupport.h"
#include "testsupport/LogRecorder.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <functional>
#include <string>
#include <vector>

namespace {

using plat::SharedMemDir;
using plat::SharedMemMarker;
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
      return e.str();
    }
    return "";
  }

  testsupport::TempDir base{"kwo-shmtest"};
  testsupport::TempDir elsewhere{"kwo-shmtest"};
};

TEST_F(SharedMemDirTest, MakesEveryMissingLevelPrivateUnderThePerUserName) {
  EXPECT_EQ("/tmp/.kwo-" + std::to_string(geteuid()), SharedMemDir::runtimePath("/tmp"));
  EXPECT_FALSE(SharedMemDir::openMarkerDir(base.path(), SharedMemDir::kindSysV));
  mode_t oldMask = umask(0);
  std::string made = SharedMemDir::makeMarkerDir(base.path(), SharedMemDir::kindSysV);
  umask(oldMask);
  EXPECT_EQ(runtime() + "/shm/SysV", made);
  for (const std::string& level : {runtime(), runtime() + "/shm", made})
    EXPECT_EQ(0700u, modeOf(level)) << level;
  EXPECT_EQ(made, SharedMemDir::makeMarkerDir(base.path(), SharedMemDir::kindSysV));
  EXPECT_TRUE(SharedMemDir::openMarkerDir(base.path(), SharedMemDir::kindSysV));
  EXPECT_FALSE(SharedMemDir::openMarkerDir(base.path(), SharedMemDir::kindPosix));
}

// Used to go wrong: a runtime directory planted in /tmp as a symbolic link by
// another user was followed, and markers were written (and stale clean-ups
// run) wherever it pointed; an existing one was used whatever its mode, so
// other users could plant or delete marker files in it.
TEST_F(SharedMemDirTest, UntrustedDirectoriesAreRefused) {
  namespace fs = std::filesystem;
  const std::string unsafe = "Refusing unsafe directory " + runtime();
  auto mode = [&](fs::perms perms) {
    return [&, perms] {
      fs::create_directory(runtime());
      fs::permissions(runtime(), perms);
    };
  };
  const std::pair<std::function<void()>, std::string> cases[] = {
    {[&] { fs::create_directory_symlink(elsewhere.path(), runtime()); },
     unsafe + ": it is a symbolic link"},
    {[&] {
       mode(fs::perms(0700))();
       fs::create_directory_symlink(elsewhere.path(), runtime() + "/shm");
     },
     unsafe + "/shm: it is a symbolic link"},
    {[&] { std::ofstream(runtime()) << "x"; }, unsafe + ": it is not a directory"},
    {mode(fs::perms(0750)), unsafe + ": group or others have access (mode 0750)"},
    {mode(fs::perms(0500)), ""},
  };
  for (const auto& [plant, message] : cases) {
    SCOPED_TRACE(message);
    fs::remove_all(runtime());
    plant();
    EXPECT_EQ(message, refusal());
    if (!message.empty()) {
      EXPECT_THROW(SharedMemDir::openMarkerDir(base.path(), SharedMemDir::kindPosix),
                   plat::Exception);
    }
    EXPECT_TRUE(fs::is_empty(elsewhere.path())) << "nothing made through a link";
  }
  if (geteuid() != 0)
    return;  // giving the directory away needs root
  fs::remove_all(runtime());
  ASSERT_EQ(0, mkdir(runtime().c_str(), 0700));
  ASSERT_EQ(0, chown(runtime().c_str(), 65534, 65534));
  EXPECT_EQ(unsafe + ": it is owned by uid 65534, not 0", refusal());
}

TEST_F(SharedMemDirTest, AnUnsafeDirectoryLeavesSegmentsWithoutMarkers) {
  // Used to fail the creation: another user who made the directory first
  // kept every desktop of this user from starting.
  ASSERT_EQ(0, mkdir(runtime().c_str(), 0777));
  ASSERT_EQ(0, chmod(runtime().c_str(), 0777));
  testsupport::LogRecorder log("SharedMem*", 0);
  for (int round = 0; round < 2; round++) {
    plat::SharedMemPosix posix(4096, base.path());
    EXPECT_EQ(posix.markerPath(), "");
    plat::SharedMemSysV sysV(4096, nullptr, base.path());
    EXPECT_EQ(sysV.markerPath(), "");
  }
  EXPECT_FALSE(exists(runtime() + "/shm"));
  // Once per directory kind.
  EXPECT_EQ(log.texts().size(), 2u);
}

class SharedMemMarkerTest : public ::testing::Test {
protected:
  void SetUp() override {
    dir = SharedMemDir::makeMarkerDir(base.path(), SharedMemDir::kindPosix);
    path = dir + "/m";
  }
  SharedMemMarker::Probe probe(const char* name) {
    plat::ScopedFd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY));
    return SharedMemMarker::probe(fd.get(), name);
  }

  testsupport::TempDir base{"kwo-shmtest"};
  std::string dir;
  std::string path;
};

TEST_F(SharedMemMarkerTest, MarkerNeverTouchesAFileNotItsOwn) {
  testsupport::TempDir target("kwo-shmtest");
  std::string victim = target.path() + "/victim";
  std::ofstream(victim) << "keep me";
  mode_t victimMode = modeOf(victim);
  ASSERT_EQ(0, symlink(victim.c_str(), path.c_str()));
  SharedMemMarker marker;
  try {
    marker.acquire(path);
    ADD_FAILURE() << "a link was accepted as a marker";
  } catch (const plat::SystemException& e) {
    EXPECT_EQ(ELOOP, e.err());
  }
  EXPECT_EQ("keep me", std::string(std::istreambuf_iterator<char>(std::ifstream(victim).rdbuf()), {}));
  EXPECT_EQ(victimMode, modeOf(victim));

  // A file put in place of a marker after it was taken stays at release.
  ASSERT_EQ(0, unlink(path.c_str()));
  ASSERT_TRUE(marker.acquire(path));
  ASSERT_EQ(0, rename(path.c_str(), (dir + "/moved").c_str()));
  std::ofstream(path) << "someone else's";
  marker.release();
  EXPECT_TRUE(exists(path));
}

TEST_F(SharedMemMarkerTest, LockHeldElsewhereIsRefusedAndProbedAsHeld) {
  shmtest::MarkerHolder holder(path);
  ASSERT_TRUE(holder.held());
  SharedMemMarker marker;
  EXPECT_FALSE(marker.acquire(path));
  EXPECT_FALSE(marker.held());
  EXPECT_EQ(SharedMemMarker::Probe::held, probe("m"));
  EXPECT_EQ(0, holder.release());
  EXPECT_FALSE(exists(path));

  std::ofstream(dir + "/free") << "";
  ASSERT_EQ(0, mkdir((dir + "/sub").c_str(), 0700));
  ASSERT_EQ(0, mkfifo((dir + "/fifo").c_str(), 0600));
  EXPECT_EQ(SharedMemMarker::Probe::free, probe("free"));
  EXPECT_EQ(SharedMemMarker::Probe::notAFile, probe("sub"));
  EXPECT_EQ(SharedMemMarker::Probe::notAFile, probe("fifo"));
  EXPECT_THROW(probe("missing"), plat::SystemException);
}

} // namespace
