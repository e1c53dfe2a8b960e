#include "base/plat/Utf8.h"
#include "base/rdr/EndOfStream.h"
#include "base/rdr/MemInStream.h"
#include "base/rdr/MemOutStream.h"
#include "base/rdr/OutStreamFull.h"
#include "base/rdr/StringTooLongException.h"
#include "base/rdr/tests/StreamTestSupport.h"

#include <gtest/gtest.h>
#include <random>

namespace rdr {
namespace {

using test::appendBE;
using test::appendText;
using test::thrown;

// Random items written through a MemOutStream that starts with one byte (so
// it grows many times), checked against the reference encoding, then read
// back through a MemInStream.
TEST(MemStreams, RandomItemsMatchTheReferenceBothWays) {
  std::mt19937 rng(20240611);
  test::RandomItems message(rng, 3000);
  MemOutStream out(1);
  message.write(out);
  ASSERT_EQ(std::vector<uint8_t>(out.data(), out.data() + out.length()), message.wire);
  MemInStream in(message.wire.data(), message.wire.size());
  size_t done = 0;
  EXPECT_TRUE(message.resume(in, done));
  EXPECT_TRUE(in.atEnd());
  EXPECT_EQ(thrown<EndOfStream>([&] { in.readU8(); }, true), "EndOfStream: End of in-memory input stream");
}

TEST(MemStreams, StringsAreCutToTheirLengthField) {
  MemOutStream out;
  out.writeShortString(nullptr);
  out.writeShortString(std::string(300, 'o'));
  out.writeString("abcdef", 4);
  std::vector<uint8_t> expected{0, 255};
  appendText(expected, std::string(255, 'o'));
  appendBE(expected, 4, 4);
  appendText(expected, "abcd");
  EXPECT_EQ(out.takeData(), expected);
  EXPECT_EQ(out.length(), 0u) << "taking the data empties the stream";
}

TEST(MemStreams, ReadStringOverMaximumThrowsBeforeReadingText) {
  std::vector<uint8_t> wire;
  for (size_t length : {1024, 1025}) {
    appendBE(wire, length, 4);
    appendText(wire, std::string(length, 'x'));
  }
  MemInStream in(wire.data(), wire.size());
  EXPECT_EQ(in.readString(1024).size(), 1024u) << "the maximum itself is allowed";
  EXPECT_EQ(thrown<StringTooLongException>([&] { in.readString(1024); }, true),
            "StringTooLongException: String exceeds maximum length");
  EXPECT_EQ(in.pos(), 4u + 1024u + 4u) << "only the length field is consumed";
}

TEST(MemStreams, Utf8CheckRepairsOnlyWhenAsked) {
  const std::string bad = "a\xff" "b";
  std::vector<uint8_t> wire;
  for (int i = 0; i < 2; i++) {
    appendBE(wire, bad.size(), i == 0 ? 1 : 4);
    appendText(wire, bad);
  }
  MemInStream in(wire.data(), wire.size());
  EXPECT_EQ(in.readShortString(false), bad);
  EXPECT_EQ(in.readString(10, true), plat::repairUtf8(bad));
}

TEST(MemStreams, PadWritesZerosEvenOverOldBytes) {
  // Padding used to leave whatever the buffer held before on the wire.
  MemOutStream out(64);
  for (int i = 0; i < 64; i++)
    out.writeU8(0xaa);
  out.clear();
  out.writeU8(1);
  out.pad(100);
  out.writeU8(2);
  std::vector<uint8_t> expected(102, 0);
  expected.front() = 1;
  expected.back() = 2;
  EXPECT_EQ(out.takeData(), expected);
}

TEST(MemStreams, PrintfIsNotTerminatedAndGrowsTheWindow) {
  MemOutStream out(8);
  out.printf("%d-%s", 42, "x");
  const std::string big(5000, 'b');
  out.printf("[%s]", big.c_str());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.data()), out.length()), "42-x[" + big + "]");
}

TEST(MemStreams, MemOutStreamStopsAtItsMaximum) {
  MemOutStream full(4, 10);
  full.pad(10);
  EXPECT_EQ(thrown<OutStreamFull>([&] { full.writeU8(1); }, true), "OutStreamFull: OutStream full");
  EXPECT_EQ(full.length(), 10u) << "nothing was written by the failed call";
}

} // namespace
} // namespace rdr
