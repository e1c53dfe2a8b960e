#include "uilibs/tx/EnvironScanner.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

using State = tx::EnvironScanner::State;
using namespace std::string_literals;

struct Answer {
  State state;
  std::string value;
};

// Feeds `input` in pieces of `pieceSize` bytes (0: whole).
Answer scan(const std::string& input, size_t maxLength, size_t pieceSize = 0) {
  tx::EnvironScanner scanner("XAUTHORITY", maxLength);
  size_t step = pieceSize ? pieceSize : std::max<size_t>(input.size(), 1);
  for (size_t at = 0; at < input.size(); at += step) {
    if (scanner.feed(std::string_view(input).substr(at, step)))
      break;
  }
  scanner.finish();
  return {scanner.state(), scanner.value()};
}

// What getenv() would say, computed the plain way: split at NULs, take the
// first entry that starts with the key.
Answer reference(const std::string& input, size_t maxLength) {
  const std::string key = "XAUTHORITY=";
  size_t start = 0;
  while (start < input.size()) {
    size_t end = input.find('\0', start);
    if (end == std::string::npos)
      end = input.size();
    std::string entry = input.substr(start, end - start);
    if (entry.compare(0, key.size(), key) == 0) {
      std::string value = entry.substr(key.size());
      if (value.size() > maxLength)
        return {State::tooLong, ""};
      return {State::found, value};
    }
    start = end + 1;
  }
  return {State::absent, ""};
}

struct Case {
  const char* name;
  std::string input;
  State state;
  std::string value;
};

TEST(EnvironScannerTest, FindsTheFirstEntryOfTheName) {
  const std::vector<Case> cases = {
    {"empty input", "", State::absent, ""},
    {"only other variables", "PATH=/bin\0HOME=/root\0"s, State::absent, ""},
    {"first entry", "XAUTHORITY=/run/gdm/auth\0PATH=/bin\0"s, State::found, "/run/gdm/auth"},
    {"last entry", "PATH=/bin\0XAUTHORITY=/home/a/.Xauth\0"s, State::found,
     "/home/a/.Xauth"},
    {"last entry without its NUL", "PATH=/bin\0XAUTHORITY=/x"s, State::found, "/x"},
    {"first of two wins", "XAUTHORITY=/one\0XAUTHORITY=/two\0"s, State::found, "/one"},
    {"empty value", "XAUTHORITY=\0PATH=/bin\0"s, State::found, ""},
    {"value holding '='", "XAUTHORITY=/a=b\0"s, State::found, "/a=b"},
    {"longer name", "XAUTHORITYX=/no\0"s, State::absent, ""},
    {"shorter name", "XAUTH=/no\0"s, State::absent, ""},
    {"name inside another value", "OLD_XAUTHORITY=/no\0FOO=XAUTHORITY=/no\0"s, State::absent,
     ""},
    {"name without '='", "XAUTHORITY\0XAUTHORITY=/yes\0"s, State::found, "/yes"},
    {"prefix of the name then NUL", "XAUTH\0XAUTHORITY=/yes\0"s, State::found, "/yes"},
    {"empty entries", "\0\0\0XAUTHORITY=/yes\0"s, State::found, "/yes"},
    {"lower case", "xauthority=/no\0"s, State::absent, ""},
    {"value of the limit", "XAUTHORITY=" + std::string(16, 'a') + '\0', State::found,
     std::string(16, 'a')},
    {"value over the limit", "XAUTHORITY=" + std::string(17, 'a') + '\0', State::tooLong, ""},
    {"over the limit without NUL", "XAUTHORITY=" + std::string(17, 'a'), State::tooLong, ""},
  };
  for (const Case& c : cases) {
    for (size_t piece : {size_t(0), size_t(1), size_t(2), size_t(5)}) {
      SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
      Answer answer = scan(c.input, 16, piece);
      EXPECT_EQ(answer.state, c.state);
      EXPECT_EQ(answer.value, c.value);
    }
  }
}

TEST(EnvironScannerTest, StopsAsSoonAsTheAnswerIsKnown) {
  tx::EnvironScanner scanner("XAUTHORITY", 64);
  EXPECT_FALSE(scanner.feed("PATH=/bin\0XAUTHOR"s));
  EXPECT_TRUE(scanner.feed("ITY=/auth\0REST"s));
  EXPECT_EQ(scanner.state(), State::found);
  // Later input cannot change the answer.
  EXPECT_TRUE(scanner.feed("XAUTHORITY=/other\0"s));
  scanner.finish();
  EXPECT_EQ(scanner.value(), "/auth");
}

TEST(EnvironScannerTest, AnOverlongValueIsNotBuffered) {
  tx::EnvironScanner scanner("XAUTHORITY", 8);
  EXPECT_FALSE(scanner.feed("XAUTHORITY=12345"));
  EXPECT_TRUE(scanner.feed("6789"));
  EXPECT_EQ(scanner.state(), State::tooLong);
  EXPECT_TRUE(scanner.value().empty());
}

TEST(EnvironScannerTest, RandomEnvironmentsInRandomPiecesMatchTheReference) {
  std::mt19937 random(20240611);
  const std::vector<std::string> names = {"XAUTHORITY", "XAUTHORIT", "XAUTHORITYY", "PATH",
                                          "X", "", "XAUTHORITY"};
  const std::string alphabet = "/aXA=Z.\n";
  for (int round = 0; round < 3000; ++round) {
    std::string input;
    int entries = std::uniform_int_distribution<int>(0, 6)(random);
    for (int e = 0; e < entries; ++e) {
      const std::string& name = names[random() % names.size()];
      input += name;
      if (random() % 5)
        input += '=';
      int length = std::uniform_int_distribution<int>(0, 24)(random);
      for (int i = 0; i < length; ++i)
        input += alphabet[random() % alphabet.size()];
      if (e + 1 < entries || random() % 2)
        input += '\0';
    }
    size_t piece = std::uniform_int_distribution<size_t>(1, 9)(random);
    SCOPED_TRACE("round " + std::to_string(round));
    Answer expected = reference(input, 12);
    Answer answer = scan(input, 12, piece);
    ASSERT_EQ(answer.state, expected.state);
    ASSERT_EQ(answer.value, expected.value);
  }
}

} // namespace
