#include "base/plat/LogEscape.h"
#include "base/plat/Utf8.h"

#include <gtest/gtest.h>

#include <random>

namespace {

TEST(LogEscapeTest, RewritesControlTildeAndInvalidBytes) {
  const std::pair<std::string, std::string> cases[] = {
    {std::string("nul\0end", 7), "nul~^@end"},
    {"\x7f", "~^?"},
    {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
    {"\xa0", "~M^`"},                 // low bits are a space: not printable (the
                                      // random test below pins the other forms)
    {"\xc0\x80", "~M-@~M^@"},         // overlong form is invalid byte by byte
    {"a\xe2\x82z", "a~M-b~M^Bz"},     // cut sequence before an ASCII byte
  };
  for (const auto& [input, expected] : cases) {
    SCOPED_TRACE(input);
    EXPECT_EQ(expected, plat::escapeLogText(input));
  }
  for (int byte = 0; byte < 256; byte++) {
    SCOPED_TRACE(byte);
    EXPECT_EQ(byte >= 0x20 && byte <= 0x7d, !plat::logTextNeedsEscape(std::string(1, char(byte))));
  }
}

// Reverses the escaping; the reference for the randomised round trip.
std::string unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] != '~') {
      out += text[i];
      continue;
    }
    char kind = text.at(++i);
    if (kind == '~') {
      out += '~';
    } else if (kind == '^') {
      out += char(text.at(++i) ^ 64);
    } else {
      EXPECT_EQ('M', kind);
      char form = text.at(++i);
      char low = text.at(++i);
      out += char((form == '-' ? low : (low ^ 64)) | 0x80);
    }
  }
  return out;
}

TEST(LogEscapeTest, RandomTextsRoundTripAndComeOutValid) {
  std::mt19937 random(20240611);
  for (int round = 0; round < 2000; round++) {
    std::string text;
    size_t length = random() % 40;
    for (size_t i = 0; i < length; i++) {
      // Mix ASCII, tildes, controls and high bytes so that valid and
      // invalid sequences both occur.
      switch (random() % 4) {
      case 0: text += char(0x20 + random() % 0x5f); break;
      case 1: text += "~\t"[random() % 2]; break;
      case 2: text += "\xc3\xa9"; break;
      default: text += char(0x80 + random() % 0x80); break;
      }
    }
    SCOPED_TRACE(round);
    std::string escaped = plat::escapeLogText(text);
    EXPECT_EQ(text, unescape(escaped));
    EXPECT_TRUE(plat::isValidUtf8(escaped));
    for (unsigned char byte : escaped)
      EXPECT_TRUE(byte >= 0x20 && byte != 0x7f);
  }
}

} // namespace
