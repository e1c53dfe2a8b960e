#include "uilibs/tx/Latin1.h"
#include "uilibs/tx/RequestLimit.h"

#include <gtest/gtest.h>

#include <random>

namespace {

TEST(Latin1Test, Utf8ToLatin1) {
  const struct {
    const char* name;
    std::string utf8, latin1;
  } cases[] = {
    {"ASCII", "plain text", "plain text"},
    {"Latin-1 letters", "\xc3\xa9\xc3\xbf\xc2\xa0", "\xe9\xff\xa0"},
    {"euro", "\xe2\x82\xac", "\x80"},
    {"beyond Latin-1", "\xe4\xb8\xad\xf0\x9f\x98\x80", "??"},
    {"C1 control U+0080 stays 0x80", "\xc2\x80", "\x80"},
    {"lone continuation byte", "a\x80" "b", "a?b"},
    {"truncated sequence", "a\xe2\x82", "a??"},
    {"overlong form", "\xc0\xaf", "??"},
    {"surrogate", "\xed\xa0\x80", "???"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(tx::utf8ToLatin1(c.utf8), c.latin1) << c.name;
}

// Byte by byte, the code point of the same value (0x80: the euro), and back.
TEST(Latin1Test, EveryLatin1TextSurvivesTheRoundTrip) {
  std::mt19937 random(20240611);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int round = 0; round < 200; round++) {
    std::string latin1;
    for (int i = 0; i < round % 64; i++)
      latin1 += char(byte(random));
    SCOPED_TRACE(round);
    std::string expected;
    for (unsigned char c : latin1)
      expected += c == 0x80  ? std::string("\xe2\x82\xac")
                  : c < 0x80 ? std::string(1, char(c))
                             : std::string{char(0xc0 | (c >> 6)), char(0x80 | (c & 0x3f))};
    std::string utf8 = tx::latin1ToUtf8(latin1);
    EXPECT_EQ(utf8, expected);
    EXPECT_EQ(tx::utf8ToLatin1(utf8), latin1);
  }
}

TEST(RequestLimitTest, PropertyBytesOfOneRequest) {
  const struct {
    const char* name;
    long extended, classic;
    size_t bytes;
  } cases[] = {
    {"classic only", 0, 65535, 65535 * 4 - 24},
    {"with BIG-REQUESTS", 4194303, 65535, 4194303 * size_t(4) - 28},
    {"nonsense from the server", 0, 0, 0},
    {"header larger than the limit", 0, 5, 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(tx::maxPropertyBytes(c.extended, c.classic), c.bytes) << c.name;
}

} // namespace
