#include "base/plat/Exception.h"
#include "base/plat/Format.h"
#include "base/plat/unix/SharedMemDir.h"
#include "base/plat/unix/SharedMemMarker.h"
#include "base/plat/unix/SharedMemPosix.h"

#include "SharedMemTestSupport.h"
#include "testsupport/LogRecorder.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using plat::SharedMemDir;
using plat::SharedMemPosix;
using shmtest::exists;
using shmtest::fill;
using shmtest::ForkedChild;
using shmtest::holds;

class SharedMemPosixTest : public ::testing::Test {
protected:
  std::string markerDir() const {
    return SharedMemDir::markerPath(base.path(), SharedMemDir::kindPosix);
  }
  static std::string shmFile(const std::string& name) { return "/dev/shm" + name; }

  shmtest::PrivateBase base;
};

TEST_F(SharedMemPosixTest, CreatesANamedZeroedObjectWithAMarker) {
  auto shm = std::make_unique<SharedMemPosix>(10000, base.path());
  EXPECT_EQ(plat::format("/kwo-%ld-%llu", long(getpid()), (unsigned long long)shm->serial()),
            shm->name());
  EXPECT_EQ(10000u, shm->size());
  EXPECT_FALSE(shm->isFile());
  EXPECT_EQ(0u, shm->position());
  ASSERT_NE(nullptr, shm->data());
  EXPECT_EQ(std::vector<uint8_t>(shm->size(), 0),
            std::vector<uint8_t>(shm->data(), shm->data() + shm->size()));

  std::string marker = markerDir() + shm->name();
  EXPECT_EQ(marker, shm->markerPath());
  EXPECT_TRUE(exists(marker));
  EXPECT_EQ(0600u, shmtest::modeOf(marker));
  EXPECT_EQ(0600u, shmtest::modeOf(shmFile(shm->name())));
  EXPECT_EQ(10000u, std::filesystem::file_size(shmFile(shm->name())));

  std::string name = shm->name();
  shm.reset();
  EXPECT_FALSE(exists(shmFile(name)));
  EXPECT_FALSE(exists(marker));
}

TEST_F(SharedMemPosixTest, NamesDifferOnlyInTheSerial) {
  SharedMemPosix first(4096, base.path());
  SharedMemPosix second(4096, base.path());
  EXPECT_EQ(first.serial() + 1, second.serial());
  std::string prefix = plat::format("/kwo-%ld-", long(getpid()));
  EXPECT_EQ(prefix + std::to_string(first.serial()), first.name());
  EXPECT_EQ(prefix + std::to_string(second.serial()), second.name());
}

TEST_F(SharedMemPosixTest, ANamePlantedAheadIsLeftAloneAndAnotherTaken) {
  // Used to fail with "File exists": anybody could plant the foreseeable
  // names of the next segments and keep the desktop from starting.
  uint64_t next = SharedMemPosix(4096, base.path()).serial() + 1;
  std::vector<std::string> planted;
  for (uint64_t serial = next; serial < next + 3; serial++) {
    planted.push_back(plat::format("/kwo-%ld-%llu", long(getpid()), (unsigned long long)serial));
    plat::ScopedFd fd(shm_open(planted.back().c_str(), O_RDWR | O_CREAT | O_EXCL, 0644));
    ASSERT_TRUE(fd) << planted.back();
  }
  {
    SharedMemPosix shm(4096, base.path());
    EXPECT_EQ(shm.name().rfind(planted[0] + "-", 0), 0u) << shm.name();
    EXPECT_EQ(shm.name().size(), planted[0].size() + 17);
    EXPECT_EQ(markerDir() + shm.name(), shm.markerPath());
    fill(shm, 0x5a);
  }
  for (const std::string& name : planted) {
    EXPECT_TRUE(exists(shmFile(name))) << name;
    EXPECT_EQ(0u, std::filesystem::file_size(shmFile(name)));
    shm_unlink(name.c_str());
  }
}

TEST_F(SharedMemPosixTest, ReceivedObjectSharesTheBytesAndTakesASerial) {
  SharedMemPosix created(8192, base.path());
  fill(created, 1);
  auto received = SharedMemPosix::receive(created.name(), created.size(), false, 0);
  EXPECT_EQ(created.serial() + 1, received->serial());
  EXPECT_NE(created.data(), received->data());
  EXPECT_TRUE(holds(*received, 1));
  received->data()[100] ^= 0xff;
  EXPECT_EQ(created.data()[100], received->data()[100]);
  EXPECT_TRUE(received->markerPath().empty());
  // Only the creator removes the object.
  std::string name = created.name();
  received.reset();
  EXPECT_TRUE(exists(shmFile(name)));
}

TEST_F(SharedMemPosixTest, ForkedChildSeesTheParentsBytes) {
  SharedMemPosix created(65536, base.path());
  EXPECT_TRUE(shmtest::sharedWithChild(created, [&] {
    return SharedMemPosix::receive(created.name(), created.size(), false, 0);
  }));
}

TEST_F(SharedMemPosixTest, ReceiveCreatesNothing) {
  std::string name = plat::format("/kwo-%ld-absent", long(getpid()));
  try {
    SharedMemPosix::receive(name, 4096, false, 0);
    ADD_FAILURE() << "opened a missing object";
  } catch (const plat::SystemException& e) {
    EXPECT_EQ(ENOENT, e.err());
    EXPECT_EQ(0, std::string(e.str()).rfind("open/shm_open failed: ", 0)) << e.str();
  }
  EXPECT_FALSE(exists(shmFile(name)));
}

// Used to go wrong: a description naming more bytes than the object holds
// was mapped anyway, and reading the missing part killed the reader (SIGBUS).
TEST_F(SharedMemPosixTest, DescriptionLargerThanTheObjectIsRefused) {
  SharedMemPosix created(4096, base.path());
  struct Case {
    uint32_t size;
    uint64_t position;
    bool accepted;
  };
  const Case cases[] = {{4096, 0, true},      {4097, 0, false},   {4000, 96, true},
                        {4000, 97, false},    {1, 4095, true},    {0, 4096, true},
                        {1, 4096, false},     {0xffffffff, 0, false},
                        {16, UINT64_MAX - 8, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(plat::format("size %u position %llu", c.size, (unsigned long long)c.position));
    try {
      auto opened = SharedMemPosix::receive(created.name(), c.size, false, c.position);
      EXPECT_TRUE(c.accepted);
    } catch (const plat::SystemException& e) {
      // A zero-length mapping is refused by mmap itself.
      EXPECT_EQ(0u, c.size) << e.str();
    } catch (const plat::Exception& e) {
      EXPECT_FALSE(c.accepted);
      EXPECT_STREQ("invalid shared memory size", e.str());
    }
  }
}

TEST_F(SharedMemPosixTest, FileIsMappedFromThePageBelowAnUnalignedPosition) {
  std::string path = base.path() + "/backing";
  std::vector<uint8_t> bytes(3 * 4096 + 500);
  for (size_t i = 0; i < bytes.size(); i++)
    bytes[i] = shmtest::patternByte(i, 4);
  {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  }
  size_t page = size_t(sysconf(_SC_PAGESIZE));
  for (uint64_t position : {size_t(0), size_t(1), page - 1, page, page + 77}) {
    SCOPED_TRACE(position);
    auto file = SharedMemPosix::openFile(path, 1000, position);
    EXPECT_TRUE(file->isFile());
    EXPECT_EQ(position, file->position());
    EXPECT_EQ(0, std::memcmp(file->data(), bytes.data() + position, 1000));
    EXPECT_EQ(0u, (uintptr_t(file->data()) - position % page) % page);
  }
  {
    auto file = SharedMemPosix::openFile(path, 10, page + 3);
    std::memset(file->data(), 0xee, 10);
  }
  std::ifstream in(path, std::ios::binary);
  std::vector<char> after(bytes.size());
  in.read(after.data(), std::streamsize(after.size()));
  EXPECT_EQ(char(0xee), after[page + 3]);
  EXPECT_EQ(char(0xee), after[page + 12]);
  EXPECT_EQ(char(bytes[page + 13]), after[page + 13]);
  EXPECT_TRUE(exists(path));
}

TEST_F(SharedMemPosixTest, LogsOpeningAndReceiving) {
  SharedMemPosix created(0x3000, base.path());
  std::string path = base.path() + "/backing";
  std::ofstream(path) << std::string(0x2000, 'x');
  testsupport::LogRecorder recorder("SharedMemPosix", 200);
  auto file = SharedMemPosix::openFile(path, 0x100, 0x1010);
  auto received = SharedMemPosix::receive(created.name(), 0x3000, false, 0);
  std::vector<std::string> texts = recorder.texts("SharedMemPosix");
  ASSERT_EQ(4u, texts.size());
  EXPECT_EQ(plat::format("Open file %s size 0x100 pos 0x1010", path.c_str()), texts[0]);
  EXPECT_EQ(plat::format("Map %s = %p", path.c_str(), static_cast<void*>(file->data())), texts[1]);
  EXPECT_EQ(plat::format("Receive %s size 0x3000 pos 0 isFile 0", created.name().c_str()), texts[2]);
}

TEST_F(SharedMemPosixTest, LogsCreationMappingAndRemoval) {
  std::string name;
  void* data;
  testsupport::LogRecorder recorder("SharedMemPosix", 200);
  {
    SharedMemPosix shm(0x1234, base.path());
    name = shm.name();
    data = shm.data();
  }
  std::vector<std::string> texts = recorder.texts("SharedMemPosix");
  std::vector<std::string> expected = {plat::format("Create %s size 0x1234", name.c_str()),
                                       plat::format("Map %s = %p", name.c_str(), data),
                                       plat::format("Unmap %s %p", name.c_str(), data)};
  // A first creation in the process may start with clean-up lines.
  ASSERT_GE(texts.size(), expected.size());
  EXPECT_EQ(expected, std::vector<std::string>(texts.end() - 3, texts.end()));
}

TEST_F(SharedMemPosixTest, CleanUpRemovesTheObjectsOfADeadAgent) {
  ForkedChild crashed([&](int up, int) {
    SharedMemPosix shm(4096, base.path());
    fill(shm, 5);
    ForkedChild::sendLine(up, shm.name());
    _exit(0);  // no destructor: the object and its marker stay behind
    return 0;
  });
  std::string name = crashed.readLine();
  ASSERT_EQ(0, crashed.wait());
  ASSERT_TRUE(exists(shmFile(name)));
  ASSERT_TRUE(exists(markerDir() + name));

  testsupport::LogRecorder recorder("SharedMemPosix", 200);
  SharedMemPosix::cleanStale(base.path());
  EXPECT_FALSE(exists(shmFile(name)));
  EXPECT_FALSE(exists(markerDir() + name));
  EXPECT_EQ(std::vector<std::string>{"Cleaning old shared memory " + name.substr(1)},
            recorder.texts("SharedMemPosix"));
}

TEST_F(SharedMemPosixTest, CleanUpLeavesTheObjectsOfALiveAgent) {
  SharedMemPosix live(4096, base.path());
  fill(live, 6);
  // The clean-up runs in another process: a lock never conflicts with its
  // own holder.
  ForkedChild cleaner([&](int, int) {
    SharedMemPosix::cleanStale(base.path());
    return 0;
  });
  ASSERT_EQ(0, cleaner.wait());
  EXPECT_TRUE(exists(shmFile(live.name())));
  EXPECT_TRUE(exists(live.markerPath()));
  auto again = SharedMemPosix::receive(live.name(), live.size(), false, 0);
  EXPECT_TRUE(holds(*again, 6));
}

TEST_F(SharedMemPosixTest, CleanUpWithoutAMarkerDirectoryDoesNothing) {
  SharedMemPosix::cleanStale(base.path());
  EXPECT_FALSE(exists(SharedMemDir::runtimePath(base.path())));
  SharedMemPosix::cleanStale("/nonexistent/base");
}

TEST_F(SharedMemPosixTest, MarkerLockedElsewhereLeavesTheObjectWithoutMarker) {
  SharedMemPosix before(4096, base.path());
  std::string next = plat::format("/kwo-%ld-%llu", long(getpid()),
                                  (unsigned long long)before.serial() + 1);
  std::string marker = markerDir() + next;
  shmtest::MarkerHolder holder(marker);
  ASSERT_TRUE(holder.held());
  {
    SharedMemPosix shm(4096, base.path());
    EXPECT_EQ(next, shm.name());
    EXPECT_TRUE(shm.markerPath().empty());
    EXPECT_TRUE(exists(shmFile(next)));
  }
  EXPECT_FALSE(exists(shmFile(next)));
  // Another process's marker is not this object's to delete.
  EXPECT_TRUE(exists(marker));
  EXPECT_EQ(0, holder.release());
}

} // namespace
