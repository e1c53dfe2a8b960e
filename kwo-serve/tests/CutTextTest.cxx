#include "kwo-serve/CutText.h"

#include <gtest/gtest.h>

#include <array>
#include <random>

namespace kwoserve {

TEST(CutText, ConvertsBetweenLatin1AndUtf8AndLatin1SurvivesTheRoundTrip) {
  // Latin-1, UTF-8, and that UTF-8 back to Latin-1.
  const std::vector<std::array<std::string, 3>> cases{
      {"plain", "plain", "plain"},
      {"caf\xe9", "caf\xc3\xa9", "caf\xe9"},
      {"\x80", "\xe2\x82\xac", "\x80"},
      {"a\r\nb\rc\n", "a\nb\nc\n", "a\nb\nc\n"},
      {std::string("nul\0x", 5), std::string("nul\0x", 5), std::string("nul\0x", 5)},
  };
  for (const auto& [latin1, utf8, back] : cases) {
    SCOPED_TRACE(latin1);
    EXPECT_EQ(CutText::latin1ToUtf8(latin1), utf8);
    EXPECT_EQ(CutText::utf8ToLatin1(utf8), back);
  }
  // Beyond Latin-1, beyond the BMP, a cut sequence, not UTF-8 at all.
  for (const auto& [utf8, latin1] : std::vector<std::pair<std::string, std::string>>{
           {"\xe6\x97\xa5", "?"}, {"\xf0\x9f\x98\x80", "?"}, {"bad\xc3", "bad?"}, {"\xff\xfe", "??"}})
    EXPECT_EQ(CutText::utf8ToLatin1(utf8), latin1) << utf8;
  std::mt19937 random(7);
  for (int round = 0; round < 200; round++) {
    std::string text;
    for (int i = int(random() % 64); i > 0; i--)
      if (char c = char(random() % 256); c != '\r')
        text += c;
    EXPECT_EQ(CutText::utf8ToLatin1(CutText::latin1ToUtf8(text)), text) << round;
  }
}

} // namespace kwoserve
