#include "base/plat/Exception.h"
#include "base/plat/Format.h"
#include "base/plat/unix/SharedMemDir.h"
#include "base/plat/unix/SharedMemPosix.h"

#include "SharedMemTestSupport.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using plat::SharedMemDir;
using plat::SharedMemPosix;
using shmtest::exists;
using shmtest::ForkedChild;

class SharedMemPosixTest : public ::testing::Test {
protected:
  std::string markerDir() const {
    return SharedMemDir::markerPath(base.path(), SharedMemDir::kindPosix);
  }
  static std::string shmFile(const std::string& name) { return "/dev/shm" + name; }
  static std::string nameOf(uint64_t serial) {
    return plat::format("/kwo-%ld-%llu", long(getpid()), (unsigned long long)serial);
  }

  testsupport::TempDir base{"kwo-shmtest"};
};

TEST_F(SharedMemPosixTest, ANamePlantedAheadIsLeftAloneAndAnotherTaken) {
  // Used to fail with "File exists": anybody could plant the foreseeable
  // names of the next segments and keep the desktop from starting.
  uint64_t next = SharedMemPosix(4096, base.path()).serial() + 1;
  std::vector<std::string> planted;
  for (uint64_t serial = next; serial < next + 3; serial++) {
    planted.push_back(nameOf(serial));
    plat::ScopedFd fd(shm_open(planted.back().c_str(), O_RDWR | O_CREAT | O_EXCL, 0644));
    ASSERT_TRUE(fd) << planted.back();
  }
  {
    SharedMemPosix shm(4096, base.path());
    EXPECT_TRUE(shm.name().starts_with(planted[0] + "-")) << shm.name();
    EXPECT_EQ(shm.name().size(), planted[0].size() + 17);
    EXPECT_EQ(markerDir() + shm.name(), shm.markerPath());
  }
  for (const std::string& name : planted) {
    EXPECT_EQ(0u, std::filesystem::file_size(shmFile(name))) << name;
    shm_unlink(name.c_str());
  }
}

// Used to go wrong: a description naming more bytes than the object holds
// was mapped anyway, and reading the missing part killed the reader (SIGBUS).
TEST_F(SharedMemPosixTest, DescriptionLargerThanTheObjectIsRefused) {
  SharedMemPosix created(4096, base.path());
  // Size, position, accepted.
  const std::tuple<uint32_t, uint64_t, bool> cases[] = {{4096, 0, true},
                                                        {4000, 96, true},
                                                        {4000, 97, false},
                                                        {0xffffffff, 0, false},
                                                        {16, UINT64_MAX - 8, false}};
  for (auto [size, position, accepted] : cases) {
    SCOPED_TRACE(plat::format("size %u position %llu", size, (unsigned long long)position));
    try {
      SharedMemPosix::receive(created.name(), size, false, position);
      EXPECT_TRUE(accepted);
    } catch (const plat::Exception& e) {
      EXPECT_FALSE(accepted);
      EXPECT_STREQ("invalid shared memory size", e.str());
    }
  }
  // Receiving creates nothing.
  std::string absent = plat::format("/kwo-%ld-absent", long(getpid()));
  EXPECT_THROW(SharedMemPosix::receive(absent, 4096, false, 0), plat::SystemException);
  EXPECT_FALSE(exists(shmFile(absent)));
}

TEST_F(SharedMemPosixTest, CleanUpRemovesTheObjectsOfADeadAgentOnly) {
  SharedMemPosix::cleanStale(base.path());  // no marker directory: nothing to do
  SharedMemPosix::cleanStale("/nonexistent/base");
  EXPECT_FALSE(exists(SharedMemDir::runtimePath(base.path())));

  ForkedChild crashed([&](int up, int) {
    SharedMemPosix shm(4096, base.path());
    ForkedChild::sendLine(up, shm.name());
    _exit(0);  // no destructor: the object and its marker stay behind
    return 0;
  });
  std::string dead = crashed.readLine();
  ASSERT_EQ(0, crashed.wait());
  ASSERT_TRUE(exists(shmFile(dead)));
  ASSERT_TRUE(exists(markerDir() + dead));

  // The clean-up runs in another process: a lock never conflicts with its
  // own holder.
  SharedMemPosix live(4096, base.path());
  ForkedChild cleaner([&](int, int) {
    SharedMemPosix::cleanStale(base.path());
    return 0;
  });
  ASSERT_EQ(0, cleaner.wait());
  EXPECT_FALSE(exists(shmFile(dead)));
  EXPECT_FALSE(exists(markerDir() + dead));
  EXPECT_TRUE(exists(live.markerPath()));
  EXPECT_TRUE(exists(shmFile(live.name())));
}

} // namespace
