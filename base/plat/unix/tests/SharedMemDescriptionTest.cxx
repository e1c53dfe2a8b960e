// Segments of both kinds as the agent creates them, and their descriptions
// read back through the reading side, as the server does. Lives with the agent's tests because the
// streams are above the platform library and are linked here.

#include "base/plat/Exception.h"
#include "base/plat/unix/SharedMemFactory.h"
#include "base/plat/unix/SharedMemPosix.h"
#include "base/plat/unix/SharedMemSysV.h"
#include "base/rdr/MemInStream.h"
#include "base/rdr/StringTooLongException.h"

#include "SharedMemTestSupport.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <sys/shm.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

void appendBE(Bytes& out, uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; i--)
    out.push_back(uint8_t(value >> (8 * i)));
}

Bytes posixDescription(uint32_t size, const std::string& name, bool isFile, uint64_t position) {
  Bytes out{0};
  appendBE(out, size, 4);
  appendBE(out, name.size(), 4);
  out.insert(out.end(), name.begin(), name.end());
  out.push_back(isFile ? 1 : 0);
  appendBE(out, position, 8);
  return out;
}

Bytes sysvDescription(uint32_t size, int id) {
  Bytes out{1};
  appendBE(out, size, 4);
  appendBE(out, uint32_t(id), 4);
  return out;
}

std::unique_ptr<plat::SharedMem> open(const Bytes& description) {
  rdr::MemInStream is(description.data(), description.size());
  auto shm = plat::SharedMemFactory::read(is);
  EXPECT_TRUE(is.atEnd());
  return shm;
}

class SharedMemDescriptionTest : public ::testing::Test {
protected:
  testsupport::TempDir base{"kwo-shmtest"};
};

TEST_F(SharedMemDescriptionTest, CreatedPrivateWithAMarkerAndOpenedFromTheWireForm) {
  for (bool sysv : {false, true}) {
    SCOPED_TRACE(sysv ? "System V" : "POSIX");
    std::unique_ptr<plat::SharedMem> created;
    Bytes expected;
    std::function<mode_t()> mode; // of the segment or object, 0 once it is gone
    std::string marker;
    if (sysv) {
      auto segment = std::make_unique<plat::SharedMemSysV>(0x12345, nullptr, base.path());
      expected = sysvDescription(0x12345, segment->id());
      mode = [id = segment->id()] {
        shmid_ds ds;
        return shmctl(id, IPC_STAT, &ds) == 0 ? mode_t(ds.shm_perm.mode & 0777) : 0;
      };
      marker = segment->markerPath();
      created = std::move(segment);
    } else {
      auto object = std::make_unique<plat::SharedMemPosix>(0x12345, base.path());
      expected = posixDescription(0x12345, object->name(), false, 0);
      mode = [path = "/dev/shm" + object->name()] { return shmtest::modeOf(path); };
      marker = object->markerPath();
      created = std::move(object);
    }
    ASSERT_EQ(expected, created->description());
    EXPECT_EQ(0600u, mode());
    EXPECT_EQ(0600u, shmtest::modeOf(marker));
    auto opened = open(expected);
    EXPECT_EQ(sysv, dynamic_cast<plat::SharedMemSysV*>(opened.get()) != nullptr);
    EXPECT_EQ(created->serial() + 1, opened->serial());
    EXPECT_EQ(expected, opened->description());
    opened->data()[0x12344] = 0x5a;
    opened.reset(); // only the creator removes the segment
    EXPECT_EQ(0x5a, created->data()[0x12344]);
    created.reset();
    EXPECT_EQ(0u, mode());
    EXPECT_FALSE(shmtest::exists(marker));
  }
}

TEST_F(SharedMemDescriptionTest, BadDescriptionsOpenNothing) {
  plat::SharedMemSysV sysv(4096, nullptr, base.path());
  plat::SharedMemPosix posix(4096, base.path());
  int removed = shmget(IPC_PRIVATE, 4096, IPC_CREAT | 0600);
  shmctl(removed, IPC_RMID, nullptr);
  const std::pair<Bytes, const char*> cases[] = {
    {Bytes{2}, "Unsupported memory type received"},
    {sysvDescription(4096, -1), "Bad SharedMemSysV id -1"},
    {sysvDescription(4097, sysv.id()), "invalid shared memory size"},
    {sysvDescription(4096, removed), "shmat failed: "},
    {posixDescription(8192, posix.name(), false, 0), "invalid shared memory size"},
    {posixDescription(4096, "/" + std::string(1024, 'n'), false, 0), "string too long"},
  };
  for (const auto& [description, message] : cases) {
    SCOPED_TRACE(message);
    try {
      open(description);
      ADD_FAILURE() << "opened";
    } catch (const rdr::StringTooLongException&) {
      EXPECT_STREQ(message, "string too long");
    } catch (const plat::Exception& e) {
      EXPECT_TRUE(std::string(e.str()).starts_with(message)) << e.str();
    }
  }
  shmid_ds ds;
  ASSERT_EQ(0, shmctl(sysv.id(), IPC_STAT, &ds));
  EXPECT_EQ(1u, ds.shm_nattch) << "refused attachments are undone";
}

} // namespace
