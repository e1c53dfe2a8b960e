// The small text helpers: wrapping, UTF-8, Latin-1 and exception texts.

#include "base/plat/Exception.h"
#include "base/plat/Latin1.h"
#include "base/plat/TextWrap.h"
#include "base/plat/Utf8.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <random>
#include <sstream>

namespace {

// Random words: no line over the width unless it is one long word after the
// indent, and the words come out unchanged and in order.
TEST(TextWrap, RandomTextsKeepWordsAndWidth) {
  std::mt19937 random(77);
  for (int round = 0; round < 500; round++) {
    std::vector<std::string> words;
    std::string text;
    int count = 1 + int(random() % 30);
    for (int i = 0; i < count; i++) {
      words.emplace_back(1 + random() % 12, char('a' + random() % 26));
      text += (i ? " " : "") + words.back();
    }
    size_t width = 20 + random() % 60;
    size_t indent = random() % 19;
    std::string wrapped = plat::wrapText(text, width, indent);
    std::istringstream lines(wrapped);
    std::vector<std::string> seen;
    bool first = true;
    for (std::string line; std::getline(lines, line); first = false) {
      if (!first) {
        ASSERT_EQ(line.substr(0, indent), std::string(indent, ' '));
        line = line.substr(indent);
      }
      std::istringstream parts(line);
      size_t wordsOnLine = 0;
      for (std::string word; parts >> word; wordsOnLine++)
        seen.push_back(word);
      if (wordsOnLine > 1) {
        ASSERT_LE((first ? 0 : indent) + line.size(), width) << wrapped;
      }
    }
    ASSERT_EQ(seen, words);
  }
}

TEST(Utf8, SequenceLengthsValidityAndRepair) {
  const std::pair<std::string_view, size_t> cases[] = {
    {"A", 1},
    {"\xc3\xa9", 2},
    {"\xf0\x9f\x98\x80", 4},
    {"\xc0\xaf", 0},          // overlong '/'
    {"\xed\xa0\x80", 0},      // surrogate
    {"\xf4\x90\x80\x80", 0},  // above U+10FFFF
    {"\xe2\x82", 0},          // truncated
  };
  for (auto [bytes, length] : cases)
    EXPECT_EQ(plat::utf8SequenceLength(bytes), length)
      << testing::PrintToString(std::string(bytes));
  EXPECT_TRUE(plat::isValidUtf8("plain \xe2\x82\xac text"));
  EXPECT_FALSE(plat::isValidUtf8("bad \xe2\x82 end"));
  EXPECT_EQ(plat::repairUtf8("a\xff" "b\xc3\xa9"), "a\xef\xbf\xbd" "b\xc3\xa9");
}

// Valid texts of Latin-1 characters are covered by the round trip below.
TEST(Latin1, Utf8ToLatin1) {
  struct Case {
    const char* name;
    std::string utf8;
    std::string latin1;
  } cases[] = {
    {"beyond Latin-1", "\xe4\xb8\xad\xf0\x9f\x98\x80", "??"},
    {"C1 control U+0080 stays 0x80", "\xc2\x80", "\x80"},
    {"lone continuation byte", "a\x80" "b", "a?b"},
    {"truncated sequence", "a\xe2\x82", "a??"},
    {"surrogate", "\xed\xa0\x80", "???"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(plat::utf8ToLatin1(c.utf8), c.latin1);
  }
}

// Byte by byte, the code point of the same value (0x80: the euro), and back.
TEST(Latin1, EveryLatin1TextSurvivesTheRoundTrip) {
  std::mt19937 random(20240611);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int round = 0; round < 200; round++) {
    std::string latin1;
    for (int i = 0; i < round % 64; i++)
      latin1 += char(byte(random));
    SCOPED_TRACE(round);
    std::string expected;
    for (unsigned char c : latin1) {
      if (c == 0x80) {
        expected += "\xe2\x82\xac";
      } else if (c < 0x80) {
        expected += char(c);
      } else {
        expected += char(0xc0 | (c >> 6));
        expected += char(0x80 | (c & 0x3f));
      }
    }
    std::string utf8 = plat::latin1ToUtf8(latin1);
    EXPECT_EQ(utf8, expected);
    EXPECT_EQ(plat::utf8ToLatin1(utf8), latin1);
  }
}

TEST(Exception, TextsAreCutAndSystemErrorsNamed) {
  plat::Exception e(std::string(300, 'm'), std::string(100, 'k'));
  EXPECT_EQ(std::string(e.str()).size(), 255u);
  EXPECT_EQ(std::string(e.type()).size(), 63u);
  plat::SystemException system("shmctl(IPC_STAT)", EINVAL);
  EXPECT_STREQ(system.type(), "System-22");
  EXPECT_STREQ(system.str(), "shmctl(IPC_STAT): Invalid argument (22)");
  EXPECT_EQ(system.err(), EINVAL);
}

} // namespace
