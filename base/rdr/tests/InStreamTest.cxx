#include "base/plat/Utf8.h"
#include "base/rdr/EndOfStream.h"
#include "base/rdr/MemInStream.h"
#include "base/rdr/StringTooLongException.h"
#include "base/rdr/tests/StreamTestSupport.h"

#include <gtest/gtest.h>
#include <random>

namespace rdr {
namespace {

using test::thrown;
using test::appendBE;
using test::appendText;
using test::bytesOf;

TEST(InStream, IntegersAreBigEndianAgainstReference) {
  std::mt19937_64 rng(20240611);
  struct Item {
    int size;
    uint64_t value;
  };
  std::vector<Item> items;
  std::vector<uint8_t> wire;
  const int sizes[] = {1, 2, 4, 8};
  for (int i = 0; i < 2000; i++) {
    int size = sizes[rng() % 4];
    uint64_t value = size == 8 ? rng() : rng() & ((uint64_t(1) << (8 * size)) - 1);
    items.push_back({size, value});
    appendBE(wire, value, size);
  }
  MemInStream in(wire.data(), wire.size());
  for (const Item& item : items) {
    switch (item.size) {
    case 1: ASSERT_EQ(in.readU8(), item.value); break;
    case 2: ASSERT_EQ(in.readU16(), item.value); break;
    case 4: ASSERT_EQ(in.readU32(), item.value); break;
    default: ASSERT_EQ(in.readU64(), item.value); break;
    }
  }
  EXPECT_TRUE(in.atEnd());
  EXPECT_EQ(in.pos(), wire.size());
}

TEST(InStream, S32IsTwosComplement) {
  const uint8_t wire[] = {0xff, 0xff, 0xff, 0xfe, 0x80, 0, 0, 0};
  MemInStream in(wire, sizeof wire);
  EXPECT_EQ(in.readS32(), -2);
  EXPECT_EQ(in.readS32(), INT32_MIN);
}

TEST(InStream, ReadingPastTheEndOfMemoryThrowsEndOfStream) {
  const uint8_t wire[] = {1, 2, 3};
  MemInStream in(wire, sizeof wire);
  EXPECT_EQ(thrown<EndOfStream>([&] { in.readU32(); }, true),
            "EndOfStream: End of in-memory input stream");
}

TEST(InStream, ShortStringAndString) {
  std::vector<uint8_t> wire;
  appendBE(wire, 5, 1);
  appendText(wire, "hello");
  appendBE(wire, 0, 1);
  appendBE(wire, 6, 4);
  appendText(wire, "world!");
  MemInStream in(wire.data(), wire.size());
  EXPECT_EQ(in.readShortString(), "hello");
  EXPECT_EQ(in.readShortString(), "");
  EXPECT_EQ(in.readString(6), "world!");
  EXPECT_TRUE(in.atEnd());
}

TEST(InStream, ReadStringOverMaximumThrowsBeforeReadingText) {
  std::vector<uint8_t> wire;
  appendBE(wire, 1025, 4);
  appendText(wire, std::string(1025, 'x'));
  MemInStream in(wire.data(), wire.size());
  EXPECT_EQ(thrown<StringTooLongException>([&] { in.readString(1024); }, true),
            "StringTooLongException: String exceeds maximum length");
  EXPECT_EQ(in.pos(), 4u) << "only the length field is consumed";
}

TEST(InStream, Utf8CheckRepairsOnlyWhenAsked) {
  const std::string bad = "a\xff" "b";
  std::vector<uint8_t> wire;
  for (int i = 0; i < 2; i++) {
    appendBE(wire, bad.size(), 1);
    appendText(wire, bad);
  }
  MemInStream in(wire.data(), wire.size());
  EXPECT_EQ(in.readShortString(false), bad);
  std::string repaired = in.readShortString(true);
  EXPECT_TRUE(plat::isValidUtf8(repaired));
  EXPECT_EQ(repaired, plat::repairUtf8(bad));
}

TEST(InStream, ReadLineCases) {
  struct Case {
    const char* input;
    size_t maxLength;
    std::vector<std::string> lines; // expected, in order
    bool tooLongAfter;              // the next readLine throws StringTooLongException
  };
  const Case cases[] = {
    {"abc\ndef\n", 0, {"abc", "def"}, false},
    {"abc\r\ndef\r\n", 0, {"abc", "def"}, false},
    {"a\rb\r\rc\n", 0, {"abc"}, false},
    {"tail without newline", 0, {"tail without newline"}, false},
    {"\n\nx", 0, {"", "", "x"}, false},
    {"abc\n", 3, {"abc"}, false},
    {"ab\r\r\n", 2, {"ab"}, false},
    {"abcd\n", 3, {}, true},
    {"ok\ntoolong\n", 3, {"ok"}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "input '" << c.input << "' max " << c.maxLength);
    MemInStream in(c.input, strlen(c.input));
    for (const std::string& line : c.lines)
      EXPECT_EQ(in.readLine(c.maxLength), line);
    if (c.tooLongAfter)
      EXPECT_THROW(in.readLine(c.maxLength), StringTooLongException);
    else
      EXPECT_THROW(in.readLine(c.maxLength), EndOfStream) << "nothing left: the end is not a line";
  }
}

TEST(InStream, ReadLineDefaultLimitIs262144) {
  std::string longest(0x40000, 'x');
  std::string text = longest + "\n" + longest + "y\n";
  MemInStream in(text.data(), text.size());
  EXPECT_EQ(in.readLine(), longest);
  EXPECT_THROW(in.readLine(), StringTooLongException);
}

TEST(InStream, RewindToGoesBackToPositionsAfterTheCheckpoint) {
  const uint8_t wire[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  MemInStream in(wire, sizeof wire);
  in.skip(3);
  in.checkpoint();
  EXPECT_EQ(in.checkpointPos(), 3u);
  in.skip(5);
  in.rewindTo(5);
  EXPECT_EQ(in.pos(), 5u);
  EXPECT_EQ(in.readU8(), 5);
  in.rewind();
  EXPECT_EQ(in.readU8(), 3);
  EXPECT_EQ(thrown([&] { in.rewindTo(2); }), "Can't reposition before checkpoint");
}

TEST(InStream, GetItemsHandsOutWholeItemsOfTheWindow) {
  const uint8_t wire[] = {1, 2, 3, 4, 5, 6, 7};
  MemInStream in(wire, sizeof wire);
  size_t got = 0;
  const uint8_t* items = in.getItems(2, 10, &got);
  EXPECT_EQ(got, 3u) << "three whole 2-byte items in seven bytes";
  EXPECT_EQ(items, in.getPtr() - 6);
  EXPECT_EQ(items[0], 1);
  EXPECT_EQ(in.readU8(), 7);

  MemInStream again(wire, sizeof wire);
  again.getItems(1, 2, &got);
  EXPECT_EQ(got, 2u) << "never more than asked";
  EXPECT_EQ(again.pos(), 2u);
}

TEST(InStream, SkipAndReadBytes) {
  std::vector<uint8_t> wire = bytesOf("0123456789");
  MemInStream in(wire.data(), wire.size());
  in.skip(2);
  char out[4];
  in.readBytes(out, 4);
  EXPECT_EQ(std::string(out, 4), "2345");
  EXPECT_THROW(in.skip(5), EndOfStream);
}

TEST(InStream, CopyingMemInStreamOwnsItsBytes) {
  std::vector<uint8_t> wire = bytesOf("abcd");
  MemInStream in(wire.data(), wire.size(), true);
  wire.assign(wire.size(), 'z');
  EXPECT_EQ(in.readU8(), 'a');
}

TEST(InStreamDeathTest, SetptrOutsideTheWindowIsAnAssertion) {
  const uint8_t wire[] = {1, 2};
  MemInStream in(wire, sizeof wire);
  EXPECT_DEATH(in.setptr(wire + 3), "");
}

} // namespace
} // namespace rdr
