#include "kwo-serve/CutText.h"

#include <gtest/gtest.h>

#include <random>

namespace kwoserve {

TEST(CutText, Latin1ToUtf8Cases) {
  const std::vector<std::pair<std::string, std::string>> cases{
      {"plain", "plain"},
      {"caf\xe9", "caf\xc3\xa9"},
      {"\x80", "\xe2\x82\xac"},
      {"a\r\nb\rc\n", "a\nb\nc\n"},
      {std::string("nul\0x", 5), std::string("nul\0x", 5)},
  };
  for (const auto& [in, out] : cases) {
    SCOPED_TRACE(in);
    EXPECT_EQ(CutText::latin1ToUtf8(in), out);
  }
}

TEST(CutText, Utf8ToLatin1Cases) {
  const std::vector<std::pair<std::string, std::string>> cases{
      {"plain", "plain"},
      {"caf\xc3\xa9", "caf\xe9"},
      {"\xe2\x82\xac", "\x80"},
      {"\xe6\x97\xa5", "?"},          // beyond Latin-1
      {"\xf0\x9f\x98\x80", "?"},      // beyond the BMP
      {"bad\xc3", "bad?"},            // cut sequence
      {"\xff\xfe", "??"},             // not UTF-8 at all
  };
  for (const auto& [in, out] : cases) {
    SCOPED_TRACE(in);
    EXPECT_EQ(CutText::utf8ToLatin1(in), out);
  }
}

TEST(CutText, EveryLatin1TextSurvivesTheRoundTrip) {
  std::mt19937 random(7);
  for (int round = 0; round < 200; round++) {
    std::string text;
    int length = int(random() % 64);
    for (int i = 0; i < length; i++) {
      char c = char(random() % 256);
      if (c != '\r')
        text += c;
    }
    SCOPED_TRACE(round);
    EXPECT_EQ(CutText::utf8ToLatin1(CutText::latin1ToUtf8(text)), text);
  }
}

} // namespace kwoserve
