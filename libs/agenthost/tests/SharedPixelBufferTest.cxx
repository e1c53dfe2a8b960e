#include "base/plat/Exception.h"
#include "base/plat/unix/SharedMemPosix.h"
#include "base/plat/unix/SharedMemSysV.h"
#include "base/rdr/MemInStream.h"
#include "libs/agentmsg/FromAgentMsgs.h"
#include "libs/agenthost/SharedPixelBuffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <unistd.h>

namespace agenthost::test {

using namespace agentmsg;

namespace {

// The agent's side: a fresh segment, described as the agent describes it.
class SharedPixelBufferTest : public testing::Test {
protected:
  void SetUp() override {
    char templ[] = "/tmp/agenthost-shm-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    base = templ;
  }
  void TearDown() override { std::filesystem::remove_all(base); }

  static SegmentDescription describe(const plat::SharedMem& mem) {
    std::vector<uint8_t> bytes = mem.description();
    rdr::MemInStream in(bytes);
    SegmentDescription d;
    d.read(in);
    EXPECT_TRUE(in.atEnd());
    return d;
  }

  static SetPixelBuffer announce(const rfb::Rect& rect, uint32_t stride,
                                 std::optional<SegmentDescription> segment) {
    SetPixelBuffer msg;
    msg.pf = rfb::PixelFormat::rgb888();
    msg.rect = rect;
    msg.stride = stride;
    msg.segment = std::move(segment);
    return msg;
  }

  std::string base;
  SharedPixelBuffer buffer;
};

TEST_F(SharedPixelBufferTest, PixelsWrittenByTheAgentAreSeenHere) {
  plat::SharedMemPosix agentMem(64 * 48 * 4, base);
  buffer.update(announce(rfb::Rect(0, 0, 60, 48), 64, describe(agentMem)));
  ASSERT_TRUE(buffer.valid());
  EXPECT_EQ(buffer.stride(), 64u);
  EXPECT_EQ(buffer.rect(), rfb::Rect(0, 0, 60, 48));
  uint32_t value = 0x00a1b2c3;
  std::memcpy(agentMem.data() + (10 * 64 + 7) * 4, &value, 4);
  uint32_t seen;
  std::memcpy(&seen, buffer.pixelAt(7, 10), 4);
  EXPECT_EQ(seen, value);
  EXPECT_EQ(buffer.pixelAt(60, 0), nullptr);
}

TEST_F(SharedPixelBufferTest, AnnouncementWithoutSegmentKeepsTheMapping) {
  plat::SharedMemPosix agentMem(100 * 100 * 4, base);
  buffer.update(announce(rfb::Rect(0, 0, 100, 100), 100, describe(agentMem)));
  const plat::SharedMem* first = buffer.segment();
  buffer.update(announce(rfb::Rect(0, 0, 50, 50), 50, std::nullopt));
  EXPECT_TRUE(buffer.valid());
  EXPECT_EQ(buffer.segment(), first);
  EXPECT_EQ(buffer.rect(), rfb::Rect(0, 0, 50, 50));
}

TEST_F(SharedPixelBufferTest, AnnouncementsThatCannotBeHonouredLeaveItEmpty) {
  plat::SharedMemPosix agentMem(100 * 100 * 4, base);
  SegmentDescription good = describe(agentMem);
  SegmentDescription file = good;
  file.isFile = true;
  file.name = "/etc/passwd";
  struct Case {
    const char* what;
    SetPixelBuffer msg;
  } cases[] = {
      {"no segment yet", announce(rfb::Rect(0, 0, 10, 10), 10, std::nullopt)},
      // One pixel more than the segment holds.
      {"area past the segment", announce(rfb::Rect(0, 0, 100, 101), 100, good)},
      {"stride past the segment", announce(rfb::Rect(0, 0, 100, 100), 101, good)},
      {"stride below the width", announce(rfb::Rect(0, 0, 100, 10), 99, good)},
      {"ordinary file", announce(rfb::Rect(0, 0, 1, 1), 1, file)},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    buffer.clear();
    EXPECT_THROW(buffer.update(c.msg), plat::Exception);
    EXPECT_FALSE(buffer.valid());
    EXPECT_EQ(buffer.pixels(), nullptr);
  }
  // The next good announcement is taken again.
  buffer.update(announce(rfb::Rect(0, 0, 100, 100), 100, good));
  EXPECT_TRUE(buffer.valid());
}

TEST_F(SharedPixelBufferTest, SystemVSegmentsAreAttached) {
  std::unique_ptr<plat::SharedMemSysV> agentMem;
  try {
    agentMem = std::make_unique<plat::SharedMemSysV>(32 * 32 * 4, nullptr, base);
  } catch (plat::Exception& e) {
    GTEST_SKIP() << "no System V shared memory here: " << e.what();
  }
  buffer.update(announce(rfb::Rect(0, 0, 32, 32), 32, describe(*agentMem)));
  ASSERT_TRUE(buffer.valid());
  agentMem->data()[5] = 0x5a;
  EXPECT_EQ(buffer.pixels()[5], 0x5a);
}

// Used to go wrong: kwo-serve mapped the agent's pixels writable and
// LibVNCServer drew its cursor into them, which the agent's damage test then
// took for changes that damage had missed.
TEST_F(SharedPixelBufferTest, AWriteThroughTheMappingIsACrash) {
  plat::SharedMemPosix posix(16 * 16 * 4, base);
  std::unique_ptr<plat::SharedMemSysV> sysV;
  try {
    sysV = std::make_unique<plat::SharedMemSysV>(16 * 16 * 4, nullptr, base);
  } catch (plat::Exception&) {
    // No System V shared memory here: the POSIX kind is still checked.
  }
  for (const plat::SharedMem* agentMem : {static_cast<plat::SharedMem*>(&posix),
                                          static_cast<plat::SharedMem*>(sysV.get())}) {
    if (!agentMem)
      continue;
    SCOPED_TRACE(agentMem == &posix ? "POSIX" : "System V");
    buffer.update(announce(rfb::Rect(0, 0, 16, 16), 16, describe(*agentMem)));
    ASSERT_TRUE(buffer.valid());
    auto* pixel = const_cast<volatile uint8_t*>(buffer.pixels());
    EXPECT_DEATH(*pixel = 1, "");
    EXPECT_EQ(agentMem->data()[0], 0);
  }
}

} // namespace
} // namespace agenthost::test
