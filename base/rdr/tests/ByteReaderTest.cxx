#include "base/rdr/BlockException.h"
#include "base/rdr/ByteReader.h"
#include "base/rdr/MemInStream.h"
#include "base/rdr/tests/StreamTestSupport.h"
#include "testsupport/ArrivingInStream.h"

#include <gtest/gtest.h>

namespace rdr {
namespace {

using test::pattern;
using testsupport::ArrivingInStream;

std::vector<uint8_t> bytesOf(std::span<const uint8_t> block) {
  return std::vector<uint8_t>(block.begin(), block.end());
}

// A block already in the stream's window is not copied.
TEST(ByteReader, BlockInTheWindowPointsIntoIt) {
  auto data = pattern(100, 1);
  MemInStream in(data.data(), data.size());
  in.skip(10);
  ByteReader reader;
  reader.init(in, 50);
  auto block = reader.collect(true);
  ASSERT_TRUE(block);
  EXPECT_EQ(block->data(), data.data() + 10);
  EXPECT_EQ(block->size(), 50u);
  EXPECT_EQ(in.pos(), 60u);
  EXPECT_FALSE(reader.inProgress());
}

TEST(ByteReader, CollectsAcrossArrivalsLargerThanTheStreamBuffer) {
  auto data = pattern(1000, 3);
  ArrivingInStream in(data, 64);
  ByteReader reader;
  reader.init(in, data.size());
  EXPECT_FALSE(reader.collect(false)) << "nothing there yet";
  int blocks = 0;
  std::optional<std::span<const uint8_t>> block;
  while (!block) {
    try {
      block = reader.collect(true);
    } catch (const BlockException&) {
      blocks++;
      EXPECT_EQ(in.pos(), reader.collected()) << "the stream is checkpointed after every chunk";
      in.arrive(37);
      reader.init(in, data.size()); // the restarted reader names the same block again
    }
  }
  EXPECT_GT(blocks, 20);
  EXPECT_EQ(bytesOf(*block), data);
  EXPECT_FALSE(reader.inProgress());
}

// Used to allocate the whole announced length at init: a peer's 9-byte
// "clientCutText" announcing 2 GB cost 2 GB before a byte of text arrived.
TEST(ByteReader, AHugeAnnouncedLengthCostsOnlyWhatArrives) {
  ArrivingInStream in(pattern(100, 5));
  in.arriveAll();
  ByteReader reader;
  reader.init(in, size_t(1) << 60);
  EXPECT_THROW(reader.collect(true), BlockException);
  EXPECT_EQ(reader.collected(), 100u);
}

} // namespace
} // namespace rdr
