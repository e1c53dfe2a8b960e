#include "base/rdr/MemInStream.h"
#include "base/rdr/MemOutStream.h"
#include "base/rdr/NullOutStream.h"
#include "base/rdr/OutStreamFull.h"
#include "base/rdr/tests/StreamTestSupport.h"

#include <gtest/gtest.h>
#include <random>

namespace rdr {
namespace {

using test::thrown;
using test::appendBE;

TEST(OutStream, IntegersMatchTheReferenceEncoding) {
  std::mt19937_64 rng(99);
  MemOutStream out(16);
  std::vector<uint8_t> expected;
  for (int i = 0; i < 3000; i++) {
    uint64_t v = rng();
    switch (v % 5) {
    case 0: out.writeU8(uint8_t(v)); appendBE(expected, uint8_t(v), 1); break;
    case 1: out.writeU16(uint16_t(v)); appendBE(expected, uint16_t(v), 2); break;
    case 2: out.writeU32(uint32_t(v)); appendBE(expected, uint32_t(v), 4); break;
    case 3: out.writeS32(-int32_t(v & 0xffff)); appendBE(expected, uint32_t(-int32_t(v & 0xffff)), 4); break;
    default: out.writeU64(v); appendBE(expected, v, 8); break;
    }
  }
  ASSERT_EQ(out.length(), expected.size());
  EXPECT_EQ(std::vector<uint8_t>(out.data(), out.data() + out.length()), expected);
}

TEST(OutStream, ShortStringOf300BytesArrivesAs255) {
  const std::string text(300, 'k');
  MemOutStream out;
  out.writeShortString(text);
  ASSERT_EQ(out.length(), 256u);
  EXPECT_EQ(out.data()[0], 255);
  MemInStream in(out.data(), out.length());
  EXPECT_EQ(in.readShortString(), text.substr(0, 255));
}

TEST(OutStream, ShortStringEdges) {
  struct Case {
    const char* text;
    size_t length;
    size_t expectedLength;
  };
  const std::string exact(255, 'e'), over(256, 'o');
  const Case cases[] = {
    {nullptr, 0, 0},
    {"", 0, 0},
    {exact.c_str(), 255, 255},
    {over.c_str(), 256, 255},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "text of " << c.length << (c.text ? "" : " (absent)"));
    MemOutStream out;
    out.writeShortString(c.text);
    ASSERT_EQ(out.length(), 1 + c.expectedLength);
    EXPECT_EQ(out.data()[0], c.expectedLength);
  }
}

TEST(OutStream, StringIsCutToMaxLength) {
  MemOutStream out;
  out.writeString("abcdef", 4);
  out.writeString("xy");
  std::vector<uint8_t> expected;
  appendBE(expected, 4, 4);
  test::appendText(expected, "abcd");
  appendBE(expected, 2, 4);
  test::appendText(expected, "xy");
  EXPECT_EQ(out.takeData(), expected);
  EXPECT_EQ(out.length(), 0u) << "taking the data empties the stream";
}

TEST(OutStream, PadWritesZerosEvenOverOldBytes) {
  // Padding used to leave whatever the buffer held before on the wire.
  MemOutStream out(64);
  for (int i = 0; i < 64; i++)
    out.writeU8(0xaa);
  out.clear();
  out.writeU8(1);
  out.pad(100);
  out.writeU8(2);
  ASSERT_EQ(out.length(), 102u);
  EXPECT_EQ(out.data()[0], 1);
  for (size_t i = 1; i <= 100; i++)
    ASSERT_EQ(out.data()[i], 0) << "byte " << i;
  EXPECT_EQ(out.data()[101], 2);
}

TEST(OutStream, PrintfIsNotTerminatedAndGrowsTheWindow) {
  MemOutStream out(8);
  out.printf("%d-%s", 42, "x");
  EXPECT_EQ(out.length(), 4u);
  const std::string big(5000, 'b');
  out.printf("[%s]", big.c_str());
  EXPECT_EQ(out.length(), 4u + 5002u);
  std::string text(reinterpret_cast<const char*>(out.data()), out.length());
  EXPECT_EQ(text, "42-x[" + big + "]");
}

TEST(OutStream, SetptrAdvancesAfterDirectWrites) {
  MemOutStream out;
  uint8_t* p = out.getPtr();
  p[0] = 9;
  out.setptr(p + 1);
  EXPECT_EQ(out.length(), 1u);
  EXPECT_EQ(out.data()[0], 9);
}

TEST(OutStreamDeathTest, SetptrBackwardsIsAnAssertion) {
  MemOutStream out;
  out.writeU32(1);
  EXPECT_DEATH(out.setptr(out.getPtr() - 1), "");
}

TEST(MemOutStream, GrowsByDoublingOrToWhatIsNeeded) {
  MemOutStream out(-1);
  EXPECT_EQ(out.capacity(), 256u);
  out.pad(257);
  EXPECT_EQ(out.capacity(), 512u);
  out.overrun(2000, 1);
  EXPECT_EQ(out.capacity(), 2257u) << "a single large item wins over doubling";
}

TEST(MemOutStream, BeyondMaxSizeIsFull) {
  MemOutStream out(4, 10);
  out.pad(10);
  EXPECT_EQ(out.capacity(), 10u);
  EXPECT_EQ(thrown<OutStreamFull>([&] { out.writeU8(1); }, true), "OutStreamFull: OutStream full");
  EXPECT_EQ(out.length(), 10u) << "nothing was written by the failed call";

  MemOutStream small(4, 6);
  small.writeU32(1);
  EXPECT_THROW(small.writeU32(2), OutStreamFull);
}

TEST(MemOutStream, WriteBytesAcrossManyGrowths) {
  std::mt19937 rng(5);
  std::vector<uint8_t> data(100000);
  for (auto& b : data)
    b = uint8_t(rng());
  MemOutStream out(1);
  for (size_t at = 0; at < data.size();) {
    size_t n = std::min<size_t>(rng() % 3000, data.size() - at);
    out.writeBytes(data.data() + at, n);
    at += n;
  }
  EXPECT_EQ(out.takeData(), data);
}

TEST(NullOutStream, CountsAndDiscards) {
  NullOutStream out;
  out.writeU32(1);
  std::vector<uint8_t> big(5000, 3);
  out.writeBytes(big.data(), big.size());
  out.pad(3000);
  out.writeU64(2);
  EXPECT_EQ(out.length(), 4u + 5000u + 3000u + 8u);
}

} // namespace
} // namespace rdr
