#include "base/plat/ConfigParameter.h"
#include "base/plat/Configuration.h"
#include "base/plat/Exception.h"
#include "base/rdr/BufferedLazyOutStream.h"
#include "base/rdr/HexDump.h"
#include "base/rdr/OutStreamFull.h"

#include <algorithm>
#include "base/rdr/tests/StreamTestSupport.h"

#include <gtest/gtest.h>
#include <random>

namespace rdr {
namespace {

using test::thrown;
using test::pattern;

// A sink that records what it took. Non-blocking calls draw on a budget
// (what the sink takes before it would block); blocking calls take at most
// takeWaiting bytes each.
class FakeSinkStream : public BufferedLazyOutStream {
public:
  explicit FakeSinkStream(int bufferSize = -1, int maxSize = -1)
    : BufferedLazyOutStream(bufferSize, maxSize) {}

  size_t takeNow = SIZE_MAX;     // budget of the non-blocking calls
  size_t takeWaiting = SIZE_MAX; // per blocking call
  std::mt19937* randomTake = nullptr;
  std::vector<uint8_t> taken;
  int blockingCalls = 0;
  int pendingReports = 0;

  size_t windowSize() const { return spaceAvailable(); }

protected:
  size_t writeSome(const uint8_t* data, size_t n, bool wait) override {
    size_t limit = wait ? takeWaiting : takeNow;
    if (randomTake)
      limit = (*randomTake)() % (wait ? 5000 : 3000) + (wait ? 1 : 0);
    if (wait)
      blockingCalls++;
    size_t k = std::min(n, limit);
    if (!wait && !randomTake && takeNow != SIZE_MAX)
      takeNow -= k;
    taken.insert(taken.end(), data, data + k);
    return k;
  }
  void pendingChanged(bool) override { pendingReports++; }
};

TEST(BufferedOutStream, FastSinkKeepsTheInitialBuffer) {
  FakeSinkStream out;
  auto data = pattern(200000, 1);
  out.writeBytes(data.data(), data.size());
  EXPECT_EQ(out.blockingCalls, 0) << "a sink that takes everything is never waited for";
  out.flush();
  EXPECT_EQ(out.taken, data);
  EXPECT_EQ(out.bufferSize(), 16384u);
  EXPECT_EQ(out.length(), data.size());
}

TEST(BufferedOutStream, SlowSinkGrowsTheBufferToTheMaximumThenBlocks) {
  FakeSinkStream out(-1, 65536);
  out.takeNow = 0;
  auto data = pattern(300000, 2);
  out.writeBytes(data.data(), data.size());
  EXPECT_EQ(out.bufferSize(), 65536u);
  EXPECT_GT(out.blockingCalls, 0);
  out.flush();
  EXPECT_EQ(out.taken, data);
}

// Used to go wrong: one burst (a 20 MB clipboard text) kept the agent's
// buffer that large, and resident, for the rest of its life.
TEST(BufferedOutStream, BufferGrownPastKeptSizeShrinksOnceEmpty) {
  struct Case {
    size_t burst;
    bool shrinks;
  };
  const Case cases[] = {{BufferedOutStream::keptSize / 2, false},
                        {BufferedOutStream::keptSize * 3, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.burst);
    FakeSinkStream out(-1, 1 << 24);
    out.takeNow = 0;
    auto data = pattern(c.burst, 6);
    out.writeBytes(data.data(), data.size());
    size_t grown = out.bufferSize();
    EXPECT_GE(grown, c.burst);
    out.flush();
    EXPECT_EQ(out.bufferSize(), c.shrinks ? 16384 : grown);
    EXPECT_EQ(out.taken, data);
    out.writeBytes(data.data(), 100);
    out.flush();
    EXPECT_EQ(out.taken.size(), data.size() + 100);
  }
}

TEST(BufferedOutStream, GrowthKeepsUnwrittenBytesInOrder) {
  std::mt19937 rng(3);
  FakeSinkStream out(1024, 1 << 20);
  out.randomTake = &rng;
  auto data = pattern(500000, 4);
  std::mt19937 sizes(5);
  for (size_t at = 0; at < data.size();) {
    size_t n = std::min<size_t>(sizes() % 40000, data.size() - at);
    out.writeBytes(data.data() + at, n);
    at += n;
    if (sizes() % 4 == 0)
      out.writeU32(0);
  }
  out.flush();
  // Reference: the data with the U32 zeros interleaved where they were written.
  std::vector<uint8_t> expected;
  std::mt19937 again(5);
  for (size_t at = 0; at < data.size();) {
    size_t n = std::min<size_t>(again() % 40000, data.size() - at);
    expected.insert(expected.end(), data.begin() + long(at), data.begin() + long(at + n));
    at += n;
    if (again() % 4 == 0)
      expected.insert(expected.end(), 4, 0);
  }
  EXPECT_EQ(out.taken, expected);
  EXPECT_EQ(out.length(), expected.size());
}

TEST(BufferedOutStream, SinkTakingNothingAtMaximumSizeIsUnableToWrite) {
  FakeSinkStream out(-1, 65536);
  out.takeNow = 0;
  out.takeWaiting = 0;
  auto data = pattern(65536, 6);
  out.writeBytes(data.data(), data.size());
  EXPECT_EQ(out.bufferSize(), 65536u) << "grown to the maximum first";
  EXPECT_EQ(thrown([&] { out.writeU8(1); }), "BufferedOutStream overrun: unable to write");
  EXPECT_EQ(out.length(), 65536u);
  EXPECT_TRUE(out.taken.empty());
}

TEST(BufferedOutStream, ItemLargerThanTheMaximumExceedsTheBuffer) {
  FakeSinkStream out(4, 4);
  EXPECT_EQ(out.maxBufferSize(), 4u);
  out.writeU32(7);
  EXPECT_EQ(thrown([&] { out.writeU64(1); }), "BufferedOutStream overrun: buffer size exceeded");
}

TEST(BufferedOutStream, MaximumIsNeverBelowTheInitialSize) {
  FakeSinkStream out(100000, 20000);
  EXPECT_EQ(out.maxBufferSize(), 100000u);
}

TEST(BufferedOutStream, NegativeMaximumTakesTheParameterDefault) {
  FakeSinkStream out;
  EXPECT_EQ(out.maxBufferSize(), 134217728u);
}

TEST(BufferedOutStream, ZeroSizeBufferIsFull) {
  FakeSinkStream out(0);
  EXPECT_THROW(out.writeU8(1), OutStreamFull);
}

TEST(BufferedOutStream, WindowIsAtMost16384ButHoldsALargerItem) {
  FakeSinkStream out(1 << 20);
  EXPECT_EQ(out.windowSize(), 16384u);
  // The window used to stop at 16384 bytes even when the item was larger.
  EXPECT_EQ(out.overrun(20000, 1), 1u);
  EXPECT_GE(out.windowSize(), 20000u);
  EXPECT_EQ(out.overrun(100, 1000), 163u) << "as many whole items as the window holds";
}

TEST(BufferedOutStream, PrintfLongerThanTheWindow) {
  FakeSinkStream out;
  const std::string text(40000, 'p');
  out.printf("<%s>", text.c_str());
  out.flush();
  EXPECT_EQ(std::string(out.taken.begin(), out.taken.end()), "<" + text + ">");
}

TEST(BufferedNBOutStream, NonBlockingFlushKeepsWhatTheSinkRefuses) {
  FakeSinkStream out;
  out.setNonBlocking(true);
  EXPECT_TRUE(out.isNonBlocking());
  out.takeNow = 3;
  out.writeU64(0x1122334455667788ull);
  out.flush();
  EXPECT_EQ(out.taken.size(), 3u);
  EXPECT_EQ(out.bufferedBytes(), 5u);
  EXPECT_EQ(out.length(), 8u);
  out.takeNow = SIZE_MAX;
  EXPECT_TRUE(out.writePending(false));
  EXPECT_EQ(out.taken.size(), 8u);
  EXPECT_EQ(out.blockingCalls, 0);
}

TEST(BufferedNBOutStream, BlockingFlushWritesEverything) {
  FakeSinkStream out;
  out.takeNow = 0;
  out.takeWaiting = 2;
  out.writeU64(5);
  out.flush();
  EXPECT_EQ(out.taken.size(), 8u);
  EXPECT_EQ(out.bufferedBytes(), 0u);
}

TEST(BufferedLazyOutStream, LazyFlushOnlyReports) {
  FakeSinkStream out;
  out.setNonBlocking(true);
  out.setLazy(true);
  out.writeU32(9);
  int reports = out.pendingReports;
  out.flush();
  EXPECT_TRUE(out.taken.empty());
  EXPECT_EQ(out.pendingReports, reports + 1);
  EXPECT_TRUE(out.writePending(false));
  EXPECT_EQ(out.taken.size(), 4u);

  out.setNonBlocking(false);
  out.writeU32(10);
  out.flush();
  EXPECT_EQ(out.taken.size(), 8u) << "a blocking flush is never lazy";
}

} // namespace
} // namespace rdr

namespace rdr {
namespace {

TEST(BufferedOutStream, MaximumComesFromMaxOutBufferSizeForNewStreams) {
  auto& config = plat::Configuration::global();
  ASSERT_TRUE(config.setParam("MaxOutBufferSize", "20000", plat::ConfigParameter::priorityCommandLine));
  FakeSinkStream out;
  EXPECT_EQ(out.maxBufferSize(), 20000u);
  EXPECT_FALSE(config.setParam("maxoutbuffersize", "100", plat::ConfigParameter::priorityCommandLine))
    << "below the lower limit of 16384";
  plat::ConfigParameter* param = config.findParam("MaxOutBufferSize");
  ASSERT_NE(param, nullptr);
  param->unset(plat::ConfigParameter::priorityCommandLine, false);
  EXPECT_EQ(out.maxBufferSize(), 20000u) << "a stream keeps the maximum it was made with";
  EXPECT_EQ(FakeSinkStream().maxBufferSize(), 134217728u);
}

TEST(HexDump, LineShowsOffsetHexAndPrintables) {
  const uint8_t bytes[] = {'A', 'b', 0x00, 0x7f, '~'};
  EXPECT_EQ(hexDumpLine(" <-- ", 0x20, bytes, sizeof bytes),
            " <-- 000020: 41 62 00 7f 7e" + std::string(11 * 3, ' ') + "  Ab..~");
}

} // namespace
} // namespace rdr
