#include "base/plat/Exception.h"
#include "base/plat/unix/SharedMemDir.h"
#include "base/plat/unix/SharedMemSysV.h"

#include "SharedMemTestSupport.h"
#include "testsupport/ShmLeaks.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <sys/shm.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>

namespace {

using plat::SharedMemDir;
using plat::SharedMemSysV;
using shmtest::exists;
using shmtest::ForkedChild;

// The segment's status, or nothing when it no longer exists.
std::optional<shmid_ds> statOf(int id) {
  shmid_ds ds;
  if (shmctl(id, IPC_STAT, &ds) < 0)
    return std::nullopt;
  return ds;
}

// Removes a segment at the end of the test whatever happened.
struct SegmentGuard {
  int id;
  ~SegmentGuard() { shmctl(id, IPC_RMID, nullptr); }
};

class SharedMemSysVTest : public ::testing::Test {
protected:
  std::string markerDir() const {
    return SharedMemDir::markerPath(base.path(), SharedMemDir::kindSysV);
  }
  std::string markerOf(int id) const { return markerDir() + "/" + std::to_string(id); }
  // An unlocked marker, as a dead agent leaves it.
  void plantMarker(const std::string& name) const {
    SharedMemDir::makeMarkerDir(base.path(), SharedMemDir::kindSysV);
    std::ofstream(markerDir() + "/" + name) << "";
  }

  testsupport::TempDir base{"kwo-shmtest"};
};

TEST_F(SharedMemSysVTest, TheOwnerIsHandedOverOnlyWhenGiven) {
  SharedMemSysV own(4096, nullptr, base.path());
  EXPECT_EQ(geteuid(), statOf(own.id())->shm_perm.uid);
  if (geteuid() != 0)
    return; // giving a segment away needs root
  ipc_perm perm{};
  perm.uid = 65534;
  perm.gid = 65533;
  perm.mode = 0600;
  SharedMemSysV given(4096, &perm, base.path());
  auto ds = statOf(given.id());
  ASSERT_TRUE(ds);
  EXPECT_EQ(65534u, ds->shm_perm.uid);
  EXPECT_EQ(65533u, ds->shm_perm.gid);
  EXPECT_EQ(0u, ds->shm_perm.cuid);
}

TEST_F(SharedMemSysVTest, FailedCreationsLeaveNothingBehind) {
  ipc_perm badOwner{};
  badOwner.uid = uid_t(-1);
  badOwner.gid = gid_t(-1);
  badOwner.mode = 0600;
  // Size, owner to give away, start of the error.
  const std::tuple<uint32_t, const ipc_perm*, const char*> cases[] = {
    {0, nullptr, "shmget(0) failed: "}, {4096, &badOwner, "shmctl(IPC_SET): "}};
  for (auto [size, perm, messageStart] : cases) {
    SCOPED_TRACE(messageStart);
    testsupport::TempDir caseBase("kwo-shmtest");
    std::set<int> before = testsupport::sysvSegmentsOf(getpid());
    try {
      SharedMemSysV shm(size, perm, caseBase.path());
      ADD_FAILURE() << "created " << shm.id();
    } catch (const plat::Exception& e) {
      EXPECT_TRUE(std::string(e.str()).starts_with(messageStart)) << e.str();
    }
    EXPECT_EQ(before, testsupport::sysvSegmentsOf(getpid()));
    std::string markers = SharedMemDir::markerPath(caseBase.path(), SharedMemDir::kindSysV);
    std::error_code ignored;
    EXPECT_TRUE(std::filesystem::is_empty(markers, ignored) || !exists(markers));
  }
}

TEST_F(SharedMemSysVTest, CleanUpRemovesWhatDeadAgentsLeftAndNothingElse) {
  ForkedChild crashed([&](int up, int) {
    SharedMemSysV shm(4096, nullptr, base.path());
    ForkedChild::sendLine(up, std::to_string(shm.id()));
    _exit(0);  // no destructor: the segment and its marker stay behind
    return 0;
  });
  int dead = std::stoi(crashed.readLine());
  ASSERT_EQ(0, crashed.wait());
  SegmentGuard deadGuard{dead};
  ASSERT_TRUE(statOf(dead));
  ASSERT_TRUE(exists(markerOf(dead)));

  int vanished = shmget(IPC_PRIVATE, 4096, IPC_CREAT | 0600);
  shmctl(vanished, IPC_RMID, nullptr);
  plantMarker(std::to_string(vanished));

  SegmentGuard attached{shmget(IPC_PRIVATE, 4096, IPC_CREAT | 0600)};
  void* addr = shmat(attached.id, nullptr, 0);
  ASSERT_NE(reinterpret_cast<void*>(-1), addr);
  plantMarker(std::to_string(attached.id));

  const char* notIds[] = {"12x", "-5", " 3", "99999999999999999999"};
  for (const char* name : notIds)
    plantMarker(name);

  // Used to go wrong: between creating a segment and attaching it, an
  // agent's segment had no attachments, and another agent's clean-up could
  // remove it.
  SegmentGuard creating{shmget(IPC_PRIVATE, 4096, IPC_CREAT | 0600)};
  shmtest::MarkerHolder holder(markerOf(creating.id));
  ASSERT_TRUE(holder.held());

  SharedMemSysV::cleanStale(base.path());
  EXPECT_TRUE(statOf(creating.id));
  EXPECT_TRUE(exists(markerOf(creating.id)));
  EXPECT_EQ(0, holder.release());
  EXPECT_FALSE(statOf(dead));
  EXPECT_FALSE(exists(markerOf(dead)));
  EXPECT_FALSE(exists(markerOf(vanished)));
  EXPECT_TRUE(statOf(attached.id));
  EXPECT_TRUE(exists(markerOf(attached.id)));
  for (const char* name : notIds)
    EXPECT_TRUE(exists(markerDir() + "/" + name)) << name;
  shmdt(addr);
}

// Used to go wrong: segment ids are reused, and a clean-up running as root
// removed whatever segment now had a dead agent's id, even another program's.
TEST_F(SharedMemSysVTest, CleanUpNeverRemovesASegmentAnotherUserCreated) {
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root to create a segment as another user";
  ForkedChild foreign([&](int up, int) {
    if (setgid(65534) < 0 || setuid(65534) < 0)
      return 2;
    int id = shmget(IPC_PRIVATE, 4096, IPC_CREAT | 0600);
    ForkedChild::sendLine(up, std::to_string(id));
    return id < 0 ? 3 : 0;
  });
  int id = std::stoi(foreign.readLine());
  ASSERT_EQ(0, foreign.wait());
  SegmentGuard guard{id};
  ASSERT_EQ(65534u, statOf(id)->shm_perm.cuid);
  plantMarker(std::to_string(id));
  SharedMemSysV::cleanStale(base.path());
  EXPECT_TRUE(statOf(id));
  EXPECT_FALSE(exists(markerOf(id))) << "the marker is stale either way";
}

} // namespace
