#include "base/plat/TextWrap.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>

namespace {

TEST(TextWrap, Cases) {
  struct Case {
    const char* text;
    size_t width;
    size_t indent;
    const char* expected;
  } cases[] = {
    {"", 10, 0, ""},
    {"short", 10, 0, "short"},
    {"exactly10!", 10, 0, "exactly10!"},
    {"one two three", 7, 0, "one two\nthree"},
    {"one two three", 7, 2, "one two\n  three"},
    {"aaaa bbbb cccc dddd", 9, 3, "aaaa bbbb\n   cccc\n   dddd"},
    {"unbreakableword here", 5, 0, "unbreakableword\nhere"},
    {"Sentence one.  Sentence two.", 16, 0, "Sentence one.\nSentence two."},
    {"keep  two spaces", 20, 0, "keep  two spaces"},
    {"line one\nline two is longer", 12, 2, "line one\n  line two\n  is longer"},
    {"trailing   ", 8, 0, "trailing"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(plat::wrapText(c.text, c.width, c.indent), c.expected);
  }
}

// Random words: no line over the width unless it is one long word after the
// indent, and the words come out unchanged and in order.
TEST(TextWrap, RandomTextsKeepWordsAndWidth) {
  std::mt19937 random(77);
  for (int round = 0; round < 500; round++) {
    std::vector<std::string> words;
    std::string text;
    int count = 1 + int(random() % 30);
    for (int i = 0; i < count; i++) {
      std::string word(1 + random() % 12, char('a' + random() % 26));
      words.push_back(word);
      text += (i ? " " : "") + word;
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
      size_t used = (first ? 0 : indent) + line.size();
      if (wordsOnLine > 1) {
        ASSERT_LE(used, width) << wrapped;
      }
    }
    ASSERT_EQ(seen, words);
  }
}

} // namespace
