#include "base/plat/Exception.h"
#include "base/plat/unix/SharedMemPosix.h"
#include "base/plat/unix/SharedMemSysV.h"
#include "base/rdr/MemInStream.h"
#include "libs/agentmsg/FromAgentMsgs.h"
#include "libs/agenthost/SharedPixelBuffer.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace agenthost::test {

using namespace agentmsg;

namespace {

// The agent's side: a fresh segment, described as the agent describes it.
class SharedPixelBufferTest : public testing::Test {
protected:
  static SegmentDescription describe(const plat::SharedMem& mem) {
    std::vector<uint8_t> bytes = mem.description();
    rdr::MemInStream in(bytes);
    SegmentDescription d;
    d.read(in);
    EXPECT_TRUE(in.atEnd());
    return d;
  }
  static SetPixelBuffer announce(int w, int h, uint32_t stride,
                                 std::optional<SegmentDescription> segment) {
    return {rfb::PixelFormat::rgb888(), rfb::Rect(0, 0, w, h), stride, std::move(segment)};
  }

  testsupport::TempDir base{"agenthost-shm"};
  SharedPixelBuffer buffer;
};

TEST_F(SharedPixelBufferTest, PixelsWrittenByTheAgentAreSeenHereUntilTheNextSegment) {
  plat::SharedMemPosix agentMem(64 * 48 * 4, base.path());
  buffer.update(announce(60, 48, 64, describe(agentMem)));
  ASSERT_TRUE(buffer.valid());
  EXPECT_EQ(buffer.stride(), 64u);
  uint32_t value = 0x00a1b2c3, seen = 0;
  std::memcpy(agentMem.data() + (10 * 64 + 7) * 4, &value, 4);
  std::memcpy(&seen, buffer.pixelAt(7, 10), 4);
  EXPECT_EQ(seen, value);
  EXPECT_EQ(buffer.pixelAt(60, 0), nullptr);
  // An announcement without a segment keeps the mapping.
  const plat::SharedMem* first = buffer.segment();
  buffer.update(announce(30, 30, 30, std::nullopt));
  EXPECT_EQ(buffer.segment(), first);
  EXPECT_EQ(buffer.rect(), rfb::Rect(0, 0, 30, 30));
}

TEST_F(SharedPixelBufferTest, AnnouncementsThatCannotBeHonouredLeaveItEmpty) {
  plat::SharedMemPosix agentMem(100 * 100 * 4, base.path());
  SegmentDescription good = describe(agentMem);
  SegmentDescription file = good;
  file.isFile = true;
  file.name = "/etc/passwd";
  std::vector<SetPixelBuffer> refused = {
      announce(10, 10, 10, std::nullopt),  // no segment yet
      announce(100, 101, 100, good),       // one pixel more than the segment holds
      announce(100, 100, 101, good),       // stride past the segment
      announce(100, 10, 99, good),         // stride below the width
      announce(1, 1, 1, file),             // an ordinary file
  };
  // Pixels of three bytes are not served.
  refused.push_back(announce(10, 10, 10, good));
  refused.back().pf = rfb::PixelFormat(24, 24, false, true, 255, 255, 255, 0, 16, 8, 0, 0);
  for (const SetPixelBuffer& msg : refused) {
    SCOPED_TRACE(msg.rect.height());
    buffer.clear();
    EXPECT_THROW(buffer.update(msg), plat::Exception);
    EXPECT_FALSE(buffer.valid());
    EXPECT_EQ(buffer.pixels(), nullptr);
  }
  buffer.update(announce(100, 100, 100, good));
  EXPECT_TRUE(buffer.valid());
}

// Used to go wrong: kwo-serve mapped the agent's pixels writable and
// LibVNCServer drew its cursor into them, which the agent's damage test then
// took for changes that damage had missed.
TEST_F(SharedPixelBufferTest, BothKindsOfSegmentAreMappedReadOnly) {
  plat::SharedMemPosix posix(16 * 16 * 4, base.path());
  std::unique_ptr<plat::SharedMemSysV> sysV;
  try {
    sysV = std::make_unique<plat::SharedMemSysV>(16 * 16 * 4, nullptr, base.path());
  } catch (plat::Exception&) {
    // No System V shared memory here: the POSIX kind is still checked.
  }
  for (plat::SharedMem* agentMem : {static_cast<plat::SharedMem*>(&posix),
                                    static_cast<plat::SharedMem*>(sysV.get())}) {
    if (!agentMem)
      continue;
    SCOPED_TRACE(agentMem == &posix ? "POSIX" : "System V");
    buffer.update(announce(16, 16, 16, describe(*agentMem)));
    ASSERT_TRUE(buffer.valid());
    agentMem->data()[5] = 0x5a;
    EXPECT_EQ(buffer.pixels()[5], 0x5a);
    auto* pixel = const_cast<volatile uint8_t*>(buffer.pixels());
    EXPECT_DEATH(*pixel = 1, "");
    EXPECT_EQ(agentMem->data()[0], 0);
  }
}

} // namespace
} // namespace agenthost::test
