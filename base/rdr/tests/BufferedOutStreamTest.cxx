#include "base/rdr/BufferedLazyOutStream.h"
#include "base/rdr/OutStreamFull.h"
#include "base/rdr/tests/StreamTestSupport.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <random>

namespace rdr {
namespace {

using test::pattern;
using test::thrown;

// A sink that records what it took. Non-blocking calls draw on a budget
// (what the sink takes before it would block); blocking calls take at most
// takeWaiting bytes each; with randomTake, random amounts.
class FakeSinkStream : public BufferedLazyOutStream {
public:
  explicit FakeSinkStream(int bufferSize = -1, int maxSize = -1)
    : BufferedLazyOutStream(bufferSize, maxSize) {}

  size_t takeNow = SIZE_MAX;
  size_t takeWaiting = SIZE_MAX;
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
    blockingCalls += wait;
    size_t k = std::min(n, limit);
    if (!wait && !randomTake && takeNow != SIZE_MAX)
      takeNow -= k;
    taken.insert(taken.end(), data, data + k);
    return k;
  }
  void pendingChanged(bool) override { pendingReports++; }
};

// Used to go wrong: one burst (a 20 MB clipboard text) kept the agent's
// buffer that large, and resident, for the rest of its life.
TEST(BufferedOutStream, BufferGrownPastKeptSizeShrinksOnceEmpty) {
  for (bool large : {false, true}) {
    size_t burst = large ? BufferedOutStream::keptSize * 3 : BufferedOutStream::keptSize / 2;
    SCOPED_TRACE(burst);
    FakeSinkStream out(-1, 1 << 24);
    out.takeNow = 0;
    auto data = pattern(burst, 6);
    out.writeBytes(data.data(), data.size());
    size_t grown = out.bufferSize();
    EXPECT_GE(grown, burst);
    out.flush();
    EXPECT_EQ(out.bufferSize(), large ? 16384 : grown);
    EXPECT_EQ(out.taken, data);
    out.writeBytes(data.data(), 100);
    out.flush();
    EXPECT_EQ(out.taken.size(), data.size() + 100);
  }
}

TEST(BufferedOutStream, GrowthKeepsUnwrittenBytesInOrder) {
  std::mt19937 rng(3), sizes(5);
  FakeSinkStream out(1024, 1 << 20);
  out.randomTake = &rng;
  auto data = pattern(500000, 4);
  std::vector<uint8_t> expected;
  for (size_t at = 0; at < data.size();) {
    size_t n = std::min<size_t>(sizes() % 40000, data.size() - at);
    out.writeBytes(data.data() + at, n);
    expected.insert(expected.end(), data.begin() + long(at), data.begin() + long(at + n));
    at += n;
    if (sizes() % 4 == 0) {
      out.writeU32(0);
      expected.insert(expected.end(), 4, 0);
    }
  }
  out.flush();
  EXPECT_EQ(out.taken, expected);
  EXPECT_EQ(out.length(), expected.size());
}

TEST(BufferedOutStream, Limits) {
  FakeSinkStream stuck(-1, 65536);
  stuck.takeNow = stuck.takeWaiting = 0;
  auto data = pattern(65536, 6);
  stuck.writeBytes(data.data(), data.size());
  EXPECT_EQ(stuck.bufferSize(), 65536u) << "grown to the maximum first";
  EXPECT_EQ(thrown([&] { stuck.writeU8(1); }), "BufferedOutStream overrun: unable to write");
  EXPECT_EQ(stuck.length(), 65536u);
  EXPECT_TRUE(stuck.taken.empty());

  FakeSinkStream tiny(4, 4);
  tiny.writeU32(7);
  EXPECT_EQ(thrown([&] { tiny.writeU64(1); }), "BufferedOutStream overrun: buffer size exceeded");
  EXPECT_EQ(FakeSinkStream(100000, 20000).maxBufferSize(), 100000u) << "never below the initial size";
  EXPECT_THROW(FakeSinkStream(0).writeU8(1), OutStreamFull);
}

TEST(BufferedOutStream, WindowIsAtMost16384ButHoldsALargerItem) {
  FakeSinkStream out(1 << 20);
  EXPECT_EQ(out.windowSize(), 16384u);
  // The window used to stop at 16384 bytes even when the item was larger.
  EXPECT_EQ(out.overrun(20000, 1), 1u);
  EXPECT_GE(out.windowSize(), 20000u);
  EXPECT_EQ(out.overrun(100, 1000), 163u) << "as many whole items as the window holds";
}

TEST(BufferedOutStream, NonBlockingAndLazyFlushes) {
  FakeSinkStream out;
  out.setNonBlocking(true);
  out.takeNow = 3;
  out.writeU64(0x1122334455667788ull);
  out.flush();
  EXPECT_EQ(out.taken.size(), 3u) << "a non-blocking flush keeps what the sink refuses";
  EXPECT_EQ(out.bufferedBytes(), 5u);
  out.takeNow = SIZE_MAX;
  EXPECT_TRUE(out.writePending(false));
  EXPECT_EQ(out.taken.size(), 8u);
  EXPECT_EQ(out.blockingCalls, 0);

  out.setLazy(true);
  out.writeU32(9);
  int reports = out.pendingReports;
  out.flush();
  EXPECT_EQ(out.taken.size(), 8u) << "a lazy flush only reports";
  EXPECT_EQ(out.pendingReports, reports + 1);
  EXPECT_TRUE(out.writePending(false));
  EXPECT_EQ(out.taken.size(), 12u);

  out.setNonBlocking(false);
  out.takeNow = 0;
  out.takeWaiting = 2;
  out.writeU64(10);
  out.flush();
  EXPECT_EQ(out.taken.size(), 20u) << "a blocking flush is never lazy and writes everything";
  EXPECT_EQ(out.bufferedBytes(), 0u);
}

} // namespace
} // namespace rdr
