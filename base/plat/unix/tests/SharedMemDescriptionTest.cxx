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
#include "base/rdr/MemOutStream.h"
#include "base/rdr/StringTooLongException.h"
#include "testsupport/LogRecorder.h"

#include <gtest/gtest.h>

#include <sys/shm.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using shmtest::fill;
using shmtest::ForkedChild;
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

Bytes describe(const plat::SharedMem& shm) {
  rdr::MemOutStream os;
  shm.writeDescription(os);
  return Bytes(os.data(), os.data() + os.length());
}

std::unique_ptr<plat::SharedMem> open(const Bytes& description) {
  rdr::MemInStream is(description.data(), description.size());
  auto shm = plat::SharedMemFactory::read(is);
  EXPECT_TRUE(is.atEnd());
  return shm;
}

// The message of the plat::Exception that reading `description` throws.
std::string refusal(const Bytes& description) {
  try {
    open(description);
  } catch (const plat::Exception& e) {
    return e.str();
  }
  return "";
}

class SharedMemDescriptionTest : public ::testing::Test {
protected:
  std::unique_ptr<plat::SharedMem> make(bool sysv, uint32_t size) {
    if (sysv)
      return std::make_unique<plat::SharedMemSysV>(size, nullptr, base.path());
    return std::make_unique<plat::SharedMemPosix>(size, base.path());
  }

  shmtest::PrivateBase base;
};

TEST_F(SharedMemDescriptionTest, PosixWireForm) {
  plat::SharedMemPosix shm(0x12345, base.path());
  rdr::MemOutStream os;
  os.writeU8(0xaa);
  shm.writeDescription(os, -1);
  Bytes expected{0xaa};
  Bytes body = posixDescription(0x12345, shm.name(), false, 0);
  expected.insert(expected.end(), body.begin(), body.end());
  EXPECT_EQ(expected, Bytes(os.data(), os.data() + os.length()));
}

TEST_F(SharedMemDescriptionTest, SysVWireFormAndLogLine) {
  plat::SharedMemSysV shm(0x2345, nullptr, base.path());
  testsupport::LogRecorder recorder("SharedMemSysV", 200);
  EXPECT_EQ(sysvDescription(0x2345, shm.id()), describe(shm));
  EXPECT_EQ(std::vector<std::string>{plat::format("sending %d size 0x2345", shm.id())},
            recorder.texts("SharedMemSysV"));
}

TEST_F(SharedMemDescriptionTest, ReadBackInThisProcessSharesTheBytes) {
  for (bool sysv : {false, true}) {
    SCOPED_TRACE(sysv ? "System V" : "POSIX");
    auto created = make(sysv, 50000);
    fill(*created, 1);
    auto opened = open(describe(*created));
    ASSERT_TRUE(opened);
    EXPECT_EQ(sysv, dynamic_cast<plat::SharedMemSysV*>(opened.get()) != nullptr);
    EXPECT_EQ(created->size(), opened->size());
    EXPECT_EQ(created->serial() + 1, opened->serial());
    EXPECT_TRUE(holds(*opened, 1));
    fill(*opened, 2);
    EXPECT_TRUE(holds(*created, 2));
    // The opened side describes the same segment.
    EXPECT_EQ(describe(*created), describe(*opened));
  }
}

TEST_F(SharedMemDescriptionTest, ForkedChildOpensTheDescriptionAndSeesTheBytes) {
  for (bool sysv : {false, true}) {
    SCOPED_TRACE(sysv ? "System V" : "POSIX");
    auto created = make(sysv, 100000);
    fill(*created, 3);
    Bytes description = describe(*created);
    ForkedChild child([&](int up, int down) {
      // The child knows the segment only from the description it is sent.
      std::string hex = ForkedChild::receiveLine(down);
      Bytes received;
      for (size_t i = 0; i + 1 < hex.size(); i += 2)
        received.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
      auto seen = open(received);
      if (!holds(*seen, 3))
        return 1;
      fill(*seen, 4);
      return 0;
    });
    std::string hex;
    for (uint8_t b : description)
      hex += plat::format("%02x", b);
    child.tell(hex);
    ASSERT_EQ(0, child.wait());
    EXPECT_TRUE(holds(*created, 4));
  }
}

TEST_F(SharedMemDescriptionTest, UnknownTypesAreRefused) {
  for (uint8_t type : {2, 3, 0x80, 0xff}) {
    SCOPED_TRACE(int(type));
    Bytes description = sysvDescription(4096, 1);
    description[0] = type;
    EXPECT_EQ("Unsupported memory type received", refusal(description));
  }
}

TEST_F(SharedMemDescriptionTest, NamesLongerThan1024BytesAreRefused) {
  std::string tooLong = "/" + std::string(1024, 'n');
  EXPECT_THROW(open(posixDescription(4096, tooLong, false, 0)), rdr::StringTooLongException);
  // 1024 bytes pass the reader; the system then refuses the name itself.
  std::string longest = "/" + std::string(1023, 'n');
  try {
    open(posixDescription(4096, longest, false, 0));
    ADD_FAILURE() << "opened";
  } catch (const plat::SystemException& e) {
    EXPECT_EQ(0, std::string(e.str()).rfind("open/shm_open failed: ", 0)) << e.str();
  }
}

TEST_F(SharedMemDescriptionTest, BadSysVIdsAndSizesAreRefused) {
  EXPECT_EQ("Bad SharedMemSysV id -1", refusal(sysvDescription(4096, -1)));
  plat::SharedMemSysV shm(4096, nullptr, base.path());
  EXPECT_EQ("invalid shared memory size", refusal(sysvDescription(4097, shm.id())));
  shmid_ds ds;
  ASSERT_EQ(0, shmctl(shm.id(), IPC_STAT, &ds));
  EXPECT_EQ(1u, ds.shm_nattch);
}

TEST_F(SharedMemDescriptionTest, PosixDescriptionsLargerThanTheObjectAreRefused) {
  plat::SharedMemPosix shm(4096, base.path());
  EXPECT_EQ("invalid shared memory size", refusal(posixDescription(8192, shm.name(), false, 0)));
  EXPECT_EQ("invalid shared memory size", refusal(posixDescription(4096, shm.name(), false, 1)));
}

TEST_F(SharedMemDescriptionTest, FileDescriptionAtAnUnalignedPosition) {
  std::string path = base.path() + "/backing";
  Bytes contents(10000);
  for (size_t i = 0; i < contents.size(); i++)
    contents[i] = shmtest::patternByte(i, 5);
  {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(contents.data()), std::streamsize(contents.size()));
  }
  testsupport::LogRecorder recorder("SharedMemPosix", 200);
  auto opened = open(posixDescription(3000, path, true, 4099));
  ASSERT_EQ(0, std::memcmp(opened->data(), contents.data() + 4099, 3000));
  auto* posix = dynamic_cast<plat::SharedMemPosix*>(opened.get());
  ASSERT_TRUE(posix);
  EXPECT_TRUE(posix->isFile());
  EXPECT_EQ(4099u, posix->position());
  ASSERT_FALSE(recorder.texts("SharedMemPosix").empty());
  EXPECT_EQ(plat::format("Receive %s size 0xbb8 pos 0x1003 isFile 1", path.c_str()),
            recorder.texts("SharedMemPosix").front());
}

TEST_F(SharedMemDescriptionTest, TruncatedDescriptionOpensNothing) {
  plat::SharedMemSysV shm(4096, nullptr, base.path());
  Bytes description = sysvDescription(4096, shm.id());
  description.pop_back();
  EXPECT_THROW(open(description), rdr::EndOfStream);
  shmid_ds ds;
  ASSERT_EQ(0, shmctl(shm.id(), IPC_STAT, &ds));
  EXPECT_EQ(1u, ds.shm_nattch);
}

} // namespace
