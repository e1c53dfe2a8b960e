// Segment descriptions written by the agent and read back through the
// reading side, as the server does. Lives with the agent's tests because the
// streams are above the platform library and are linked here.

#include "base/plat/Exception.h"
#include "base/plat/Format.h"
#include "base/plat/unix/SharedMemFactory.h"
#include "base/plat/unix/SharedMemPosix.h"
#include "base/plat/unix/SharedMemSysV.h"
#include "base/plat/unix/tests/SharedMemTestSupport.h"
#include "base/rdr/EndOfStream.h"
#include "base/rdr/MemInStream.h"
#include "base/rdr/StringTooLongException.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <sys/shm.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using shmtest::fill;
using shmtest::holds;

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

TEST_F(SharedMemDescriptionTest, WireForms) {
  plat::SharedMemPosix posix(0x12345, base.path());
  EXPECT_EQ(posixDescription(0x12345, posix.name(), false, 0), posix.description());
  plat::SharedMemSysV sysv(0x2345, nullptr, base.path());
  EXPECT_EQ(sysvDescription(0x2345, sysv.id()), sysv.description());
}

TEST_F(SharedMemDescriptionTest, TheDescribedSegmentIsShared) {
  for (bool sysv : {false, true}) {
    SCOPED_TRACE(sysv ? "System V" : "POSIX");
    std::unique_ptr<plat::SharedMem> created;
    if (sysv)
      created = std::make_unique<plat::SharedMemSysV>(100000, nullptr, base.path());
    else
      created = std::make_unique<plat::SharedMemPosix>(100000, base.path());
    fill(*created, 1);
    Bytes description = created->description();
    {
      auto opened = open(description);
      EXPECT_EQ(sysv, dynamic_cast<plat::SharedMemSysV*>(opened.get()) != nullptr);
      EXPECT_EQ(created->serial() + 1, opened->serial());
      EXPECT_TRUE(holds(*opened, 1));
      EXPECT_EQ(description, opened->description());
    }
    // Only the creator removes the segment; what is written is seen by it.
    fill(*open(description), 2);
    EXPECT_TRUE(holds(*created, 2));
  }
}

TEST_F(SharedMemDescriptionTest, AFileIsMappedFromThePageBelowAnUnalignedPosition) {
  std::string path = base.path() + "/backing";
  Bytes bytes(3 * 4096 + 500);
  for (size_t i = 0; i < bytes.size(); i++)
    bytes[i] = shmtest::patternByte(i, 4);
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                               std::streamsize(bytes.size()));
  size_t page = size_t(sysconf(_SC_PAGESIZE));
  for (uint64_t position : {size_t(1), page, page + 77}) {
    SCOPED_TRACE(position);
    auto file = open(posixDescription(1000, path, true, position));
    EXPECT_EQ(0, std::memcmp(file->data(), bytes.data() + position, 1000));
    EXPECT_EQ(posixDescription(1000, path, true, position), file->description());
  }
  std::memset(open(posixDescription(10, path, true, page + 3))->data(), 0xee, 10);
  std::ifstream in(path, std::ios::binary);
  std::vector<char> after(bytes.size());
  in.read(after.data(), std::streamsize(after.size()));
  EXPECT_EQ(char(0xee), after[page + 3]);
  EXPECT_EQ(char(0xee), after[page + 12]);
  EXPECT_EQ(char(bytes[page + 13]), after[page + 13]);
}

TEST_F(SharedMemDescriptionTest, BadDescriptionsOpenNothing) {
  plat::SharedMemSysV sysv(4096, nullptr, base.path());
  plat::SharedMemPosix posix(4096, base.path());
  Bytes truncated = sysvDescription(4096, sysv.id());
  truncated.pop_back();
  int removed = shmget(IPC_PRIVATE, 4096, IPC_CREAT | 0600);
  shmctl(removed, IPC_RMID, nullptr);
  const std::pair<Bytes, const char*> cases[] = {
    {Bytes{2}, "Unsupported memory type received"},
    {Bytes{0xff}, "Unsupported memory type received"},
    {sysvDescription(4096, -1), "Bad SharedMemSysV id -1"},
    {sysvDescription(4097, sysv.id()), "invalid shared memory size"},
    {sysvDescription(4096, removed), "shmat failed: "},
    {posixDescription(8192, posix.name(), false, 0), "invalid shared memory size"},
    {posixDescription(4096, posix.name(), false, 1), "invalid shared memory size"},
    // 1024 bytes pass the reader; the system then refuses the name itself.
    {posixDescription(4096, "/" + std::string(1023, 'n'), false, 0), "open/shm_open failed: "},
    {posixDescription(4096, "/" + std::string(1024, 'n'), false, 0), "string too long"},
    {truncated, "end of stream"},
  };
  for (const auto& [description, message] : cases) {
    SCOPED_TRACE(message);
    try {
      open(description);
      ADD_FAILURE() << "opened";
    } catch (const rdr::StringTooLongException&) {
      EXPECT_STREQ(message, "string too long");
    } catch (const rdr::EndOfStream&) {
      EXPECT_STREQ(message, "end of stream");
    } catch (const plat::Exception& e) {
      EXPECT_TRUE(std::string(e.str()).starts_with(message)) << e.str();
    }
  }
  shmid_ds ds;
  ASSERT_EQ(0, shmctl(sysv.id(), IPC_STAT, &ds));
  EXPECT_EQ(1u, ds.shm_nattch) << "refused attachments are undone";
}

} // namespace
