#include "base/plat/Exception.h"
#include "base/rdr/BlockException.h"
#include "base/rdr/ByteReader.h"
#include "base/rdr/FdInStream.h"
#include "base/rdr/MemInStream.h"
#include "base/rdr/tests/StreamTestSupport.h"

#include <gtest/gtest.h>
#include <random>

namespace rdr {
namespace {

using test::thrown;
using test::pattern;

using test::SocketPair;

bool sameBytes(std::span<const uint8_t> got, const uint8_t* expected, size_t n) {
  return got.size() == n && std::equal(got.begin(), got.end(), expected);
}

TEST(ByteReader, WholeBlockInTheWindowPointsIntoIt) {
  auto data = pattern(100, 1);
  MemInStream in(data.data(), data.size());
  in.skip(10);
  ByteReader reader;
  reader.init(in, 50);
  auto block = reader.collect(true);
  ASSERT_TRUE(block);
  EXPECT_EQ(block->data(), data.data() + 10) << "no copy";
  EXPECT_EQ(block->size(), 50u);
  EXPECT_EQ(in.pos(), 60u);
  EXPECT_FALSE(reader.inProgress());
}

TEST(ByteReader, ForcedCopyUsesTheGivenBuffer) {
  auto data = pattern(64, 2);
  MemInStream in(data.data(), data.size());
  std::vector<uint8_t> target(64);
  ByteReader reader;
  reader.init(in, 64, target.data(), true);
  auto block = reader.collect(true);
  ASSERT_TRUE(block);
  EXPECT_EQ(block->data(), target.data());
  EXPECT_EQ(target, data);
}

TEST(ByteReader, CollectsAcrossArrivalsLargerThanTheStreamBuffer) {
  SocketPair pair;
  FdInStream in(pair.reader, -1, 64);
  in.setNonBlocking(true);
  auto data = pattern(1000, 3);
  ByteReader reader;
  reader.init(in, data.size());
  int blocks = 0;
  size_t sent = 0;
  std::optional<std::span<const uint8_t>> block;
  while (!block) {
    try {
      block = reader.collect(true);
    } catch (const BlockException&) {
      blocks++;
      EXPECT_EQ(in.pos(), reader.collected()) << "the stream is checkpointed after every chunk";
      size_t n = std::min<size_t>(37, data.size() - sent);
      pair.send(data.data() + sent, n);
      sent += n;
      reader.init(in, data.size()); // the restarted reader names the same block again
    }
  }
  EXPECT_GT(blocks, 20);
  EXPECT_TRUE(sameBytes(*block, data.data(), data.size()));
}

TEST(ByteReader, CollectWithoutWaitReturnsNothingWhileIncomplete) {
  SocketPair pair;
  FdInStream in(pair.reader);
  in.setNonBlocking(true);
  auto data = pattern(10, 4);
  pair.send(data.data(), 4);
  ByteReader reader;
  reader.init(in, 10);
  EXPECT_FALSE(reader.collect(false));
  EXPECT_EQ(reader.collected(), 4u);
  pair.send(data.data() + 4, 6);
  auto block = reader.collect(false);
  ASSERT_TRUE(block);
  EXPECT_TRUE(sameBytes(*block, data.data(), 10));
}

// Used to allocate the whole announced length at init: a peer's 9-byte
// "clientCutText" announcing 2 GB cost 2 GB before a byte of text arrived.
TEST(ByteReader, AHugeAnnouncedLengthCostsOnlyWhatArrives) {
  SocketPair pair;
  FdInStream in(pair.reader);
  in.setNonBlocking(true);
  auto data = pattern(100, 5);
  pair.send(data.data(), data.size());
  ByteReader reader;
  reader.init(in, size_t(1) << 60);
  EXPECT_THROW(reader.collect(true), BlockException);
  EXPECT_EQ(reader.collected(), data.size());
}

TEST(ByteReader, ADifferentLengthWhileUnfinishedIsBad) {
  SocketPair pair;
  FdInStream in(pair.reader);
  in.setNonBlocking(true);
  ByteReader reader;
  reader.init(in, 10);
  EXPECT_FALSE(reader.collect(false));
  EXPECT_EQ(thrown([&] { reader.init(in, 11); }), "ByteReader::init: bad len");
  reader.reset();
  EXPECT_NO_THROW(reader.init(in, 11));
}

TEST(ByteReader, ZeroLengthIsCompleteAtOnce) {
  MemInStream in(nullptr, 0);
  ByteReader reader;
  reader.init(in, 0);
  auto block = reader.collect(false);
  ASSERT_TRUE(block);
  EXPECT_TRUE(block->empty());
}

} // namespace
} // namespace rdr
