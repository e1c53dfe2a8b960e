#include "base/plat/Exception.h"
#include "base/plat/Format.h"
#include "base/plat/unix/SharedMemDir.h"
#include "base/plat/unix/SharedMemMarker.h"
#include "base/plat/unix/SharedMemSysV.h"

#include "SharedMemTestSupport.h"
#include "testsupport/LogRecorder.h"

#include <gtest/gtest.h>

#include <sys/shm.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using plat::SharedMemDir;
using plat::SharedMemSysV;
using shmtest::exists;
using shmtest::fill;
using shmtest::ForkedChild;
using shmtest::holds;

// The segment's status, or nothing when it no longer exists.
std::optional<shmid_ds> statOf(int id) {
  shmid_ds ds;
  if (shmctl(id, IPC_STAT, &ds) < 0)
    return std::nullopt;
  return ds;
}

// A segment made directly, removed at the end of the test whatever happened.
class RawSegment {
public:
  explicit RawSegment(size_t size) : id_(shmget(IPC_PRIVATE, size, IPC_CREAT | 0600)) {}
  explicit RawSegment(int id, bool) : id_(id) {}
  ~RawSegment() {
    if (id_ >= 0)
      shmctl(id_, IPC_RMID, nullptr);
  }
  RawSegment(const RawSegment&) = delete;
  RawSegment& operator=(const RawSegment&) = delete;
  int id() const { return id_; }

private:
  int id_;
};

class SharedMemSysVTest : public ::testing::Test {
protected:
  std::string markerDir() const {
    return SharedMemDir::markerPath(base.path(), SharedMemDir::kindSysV);
  }
  std::string markerOf(int id) const { return markerDir() + "/" + std::to_string(id); }
  // An unlocked marker, as a dead agent leaves it.
  void plantMarker(int id) const {
    SharedMemDir::makeMarkerDir(base.path(), SharedMemDir::kindSysV);
    std::ofstream(markerOf(id)) << "";
  }

  shmtest::PrivateBase base;
};

TEST_F(SharedMemSysVTest, CreatesAnAttachedSegmentWithAMarker) {
  auto shm = std::make_unique<SharedMemSysV>(12345, nullptr, base.path());
  int id = shm->id();
  ASSERT_GE(id, 0);
  EXPECT_EQ(12345u, shm->size());
  ASSERT_NE(nullptr, shm->data());
  auto ds = statOf(id);
  ASSERT_TRUE(ds);
  EXPECT_EQ(12345u, ds->shm_segsz);
  EXPECT_EQ(1u, ds->shm_nattch);
  EXPECT_EQ(geteuid(), ds->shm_perm.uid);
  EXPECT_EQ(geteuid(), ds->shm_perm.cuid);
  EXPECT_EQ(0600u, ds->shm_perm.mode & 0777);
  EXPECT_EQ(markerOf(id), shm->markerPath());
  EXPECT_TRUE(exists(markerOf(id)));
  EXPECT_EQ(0600u, shmtest::modeOf(markerOf(id)));

  shm.reset();
  EXPECT_FALSE(statOf(id));
  EXPECT_FALSE(exists(markerOf(id)));
}

TEST_F(SharedMemSysVTest, OwnerIsHandedOverOnlyWhenGiven) {
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root to give a segment away";
  ipc_perm perm{};
  perm.uid = 65534;
  perm.gid = 65533;
  perm.mode = 0600;
  SharedMemSysV given(4096, &perm, base.path());
  auto ds = statOf(given.id());
  ASSERT_TRUE(ds);
  EXPECT_EQ(65534u, ds->shm_perm.uid);
  EXPECT_EQ(65533u, ds->shm_perm.gid);
  EXPECT_EQ(0600u, ds->shm_perm.mode & 0777);
  EXPECT_EQ(0u, ds->shm_perm.cuid);

  SharedMemSysV kept(4096, nullptr, base.path());
  ds = statOf(kept.id());
  ASSERT_TRUE(ds);
  EXPECT_EQ(0u, ds->shm_perm.uid);
  EXPECT_EQ(0u, ds->shm_perm.gid);
}

TEST_F(SharedMemSysVTest, SerialsFollowOneAnother) {
  SharedMemSysV first(4096, nullptr, base.path());
  SharedMemSysV second(4096, nullptr, base.path());
  auto attached = SharedMemSysV::attach(first.id(), 4096);
  EXPECT_EQ(first.serial() + 1, second.serial());
  EXPECT_EQ(second.serial() + 1, attached->serial());
  EXPECT_NE(first.id(), second.id());
}

TEST_F(SharedMemSysVTest, AttachedSegmentSharesTheBytes) {
  SharedMemSysV created(20000, nullptr, base.path());
  fill(created, 1);
  {
    auto attached = SharedMemSysV::attach(created.id(), created.size());
    EXPECT_NE(created.data(), attached->data());
    EXPECT_TRUE(holds(*attached, 1));
    EXPECT_EQ(2u, statOf(created.id())->shm_nattch);
    EXPECT_TRUE(attached->markerPath().empty());
  }
  // Only the creator removes the segment.
  auto ds = statOf(created.id());
  ASSERT_TRUE(ds);
  EXPECT_EQ(1u, ds->shm_nattch);
}

TEST_F(SharedMemSysVTest, ForkedChildSeesTheParentsBytes) {
  SharedMemSysV created(70000, nullptr, base.path());
  EXPECT_TRUE(shmtest::sharedWithChild(created, [&] {
    return SharedMemSysV::attach(created.id(), created.size());
  }));
}

TEST_F(SharedMemSysVTest, NegativeIdsAreRefused) {
  for (int id : {-1, -2, INT_MIN}) {
    SCOPED_TRACE(id);
    try {
      SharedMemSysV::attach(id, 4096);
      ADD_FAILURE() << "attached";
    } catch (const plat::Exception& e) {
      EXPECT_EQ(plat::format("Bad SharedMemSysV id %d", id), e.str());
    }
  }
}

TEST_F(SharedMemSysVTest, SegmentSmallerThanAskedIsRefusedAndDetached) {
  SharedMemSysV created(4096, nullptr, base.path());
  try {
    SharedMemSysV::attach(created.id(), 4097);
    ADD_FAILURE() << "attached";
  } catch (const plat::Exception& e) {
    EXPECT_STREQ("invalid shared memory size", e.str());
  }
  EXPECT_EQ(1u, statOf(created.id())->shm_nattch);
  EXPECT_NO_THROW(SharedMemSysV::attach(created.id(), 4096));
}

TEST_F(SharedMemSysVTest, AttachFailureIsASystemError) {
  RawSegment gone(4096);
  int id = gone.id();
  ASSERT_EQ(0, shmctl(id, IPC_RMID, nullptr));
  try {
    SharedMemSysV::attach(id, 4096);
    ADD_FAILURE() << "attached";
  } catch (const plat::SystemException& e) {
    EXPECT_EQ(0, std::string(e.str()).rfind("shmat failed: ", 0)) << e.str();
  }
}

TEST_F(SharedMemSysVTest, FailedCreationsLeaveNothingBehind) {
  struct Case {
    const char* what;
    uint32_t size;
    bool badPerm;
    const char* messageStart;
  };
  // An unsafe runtime directory is no failure: SharedMemDirTest.
  const Case cases[] = {
      {"shmget refuses size 0", 0, false, "shmget(0) failed: "},
      {"owner that cannot be set", 4096, true, "shmctl(IPC_SET): "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    shmtest::PrivateBase caseBase;
    ipc_perm perm{};
    perm.uid = uid_t(-1);  // not a valid owner
    perm.gid = gid_t(-1);
    perm.mode = 0600;
    auto before = shmtest::sysvSegmentsOf(getpid());
    try {
      SharedMemSysV shm(c.size, c.badPerm ? &perm : nullptr, caseBase.path());
      ADD_FAILURE() << "created " << shm.id();
    } catch (const plat::Exception& e) {
      EXPECT_EQ(0, std::string(e.str()).rfind(c.messageStart, 0)) << e.str();
    }
    EXPECT_EQ(before, shmtest::sysvSegmentsOf(getpid()));
    std::string markers = SharedMemDir::markerPath(caseBase.path(), SharedMemDir::kindSysV);
    std::error_code ignored;
    EXPECT_TRUE(std::filesystem::is_empty(markers, ignored) || !exists(markers));
  }
}

TEST_F(SharedMemSysVTest, LogsCreationAttachmentDescriptionAndRemoval) {
  testsupport::LogRecorder recorder("SharedMemSysV", 200);
  int id;
  void* data;
  {
    SharedMemSysV shm(0x2000, nullptr, base.path());
    id = shm.id();
    data = shm.data();
  }
  std::vector<std::string> texts = recorder.texts("SharedMemSysV");
  std::vector<std::string> expected = {plat::format("Create %d size 0x2000", id),
                                       plat::format("Attached %d = %p", id, data),
                                       plat::format("Detaching %p", data),
                                       plat::format("Removing %d", id)};
  ASSERT_GE(texts.size(), expected.size());
  EXPECT_EQ(expected, std::vector<std::string>(texts.end() - 4, texts.end()));
}

TEST_F(SharedMemSysVTest, CleanUpRemovesTheSegmentsOfADeadAgent) {
  ForkedChild crashed([&](int up, int) {
    SharedMemSysV shm(4096, nullptr, base.path());
    ForkedChild::sendLine(up, std::to_string(shm.id()));
    _exit(0);  // no destructor: the segment and its marker stay behind
    return 0;
  });
  int id = std::stoi(crashed.readLine());
  ASSERT_EQ(0, crashed.wait());
  RawSegment guard(id, true);
  ASSERT_TRUE(statOf(id));
  ASSERT_TRUE(exists(markerOf(id)));

  testsupport::LogRecorder recorder("SharedMemSysV", 200);
  SharedMemSysV::cleanStale(base.path());
  EXPECT_FALSE(statOf(id));
  EXPECT_FALSE(exists(markerOf(id)));
  EXPECT_EQ(std::vector<std::string>{plat::format("Cleaning old shared memory %d", id)},
            recorder.texts("SharedMemSysV"));
}

TEST_F(SharedMemSysVTest, CleanUpDeletesMarkersOfVanishedSegments) {
  int id;
  {
    RawSegment gone(4096);
    id = gone.id();
  }
  plantMarker(id);
  SharedMemSysV::cleanStale(base.path());
  EXPECT_FALSE(exists(markerOf(id)));
}

TEST_F(SharedMemSysVTest, CleanUpKeepsSegmentsThatAreStillAttached) {
  RawSegment segment(4096);
  void* addr = shmat(segment.id(), nullptr, 0);
  ASSERT_NE(reinterpret_cast<void*>(-1), addr);
  plantMarker(segment.id());
  SharedMemSysV::cleanStale(base.path());
  EXPECT_TRUE(statOf(segment.id()));
  EXPECT_TRUE(exists(markerOf(segment.id())));
  shmdt(addr);
}

// Used to go wrong: between creating a segment and attaching it, an agent's
// segment had no attachments, and another agent's clean-up could remove it.
TEST_F(SharedMemSysVTest, CleanUpKeepsSegmentsWhoseMarkerIsLocked) {
  RawSegment segment(4096);
  SharedMemDir::makeMarkerDir(base.path(), SharedMemDir::kindSysV);
  std::string marker = markerOf(segment.id());
  shmtest::MarkerHolder holder(marker);
  ASSERT_TRUE(holder.held());
  SharedMemSysV::cleanStale(base.path());
  EXPECT_TRUE(statOf(segment.id()));
  EXPECT_TRUE(exists(marker));
  EXPECT_EQ(0, holder.release());
}

TEST_F(SharedMemSysVTest, CleanUpLeavesTheSegmentsOfALiveAgent) {
  SharedMemSysV live(4096, nullptr, base.path());
  ForkedChild cleaner([&](int, int) {
    SharedMemSysV::cleanStale(base.path());
    return 0;
  });
  ASSERT_EQ(0, cleaner.wait());
  EXPECT_TRUE(statOf(live.id()));
  EXPECT_TRUE(exists(live.markerPath()));
}

TEST_F(SharedMemSysVTest, CleanUpSkipsNamesThatAreNotIds) {
  SharedMemDir::makeMarkerDir(base.path(), SharedMemDir::kindSysV);
  const char* names[] = {"abc", "12x", "-5", "+7", " 3", "99999999999999999999"};
  for (const char* name : names)
    std::ofstream(markerDir() + "/" + name) << "";
  SharedMemSysV::cleanStale(base.path());
  for (const char* name : names) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(exists(markerDir() + "/" + name));
  }
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
  RawSegment guard(id, true);
  auto ds = statOf(id);
  ASSERT_TRUE(ds);
  ASSERT_EQ(65534u, ds->shm_perm.cuid);
  ASSERT_EQ(0u, ds->shm_nattch);
  plantMarker(id);

  testsupport::LogRecorder recorder("SharedMemSysV", 200);
  SharedMemSysV::cleanStale(base.path());
  EXPECT_TRUE(statOf(id));
  EXPECT_FALSE(exists(markerOf(id)));
  EXPECT_EQ((std::vector<std::string>{
                plat::format("Cleaning old shared memory %d", id),
                plat::format("Shared memory %d was created by another user; left in place", id)}),
            recorder.texts("SharedMemSysV"));
}

} // namespace
