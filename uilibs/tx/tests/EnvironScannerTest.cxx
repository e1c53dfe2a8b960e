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
Answer scan(const std::string& input, size_t maxLength, size_t pieceSize) {
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
    size_t end = std::min(input.find('\0', start), input.size());
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

// Inputs a random environment rarely makes, then random environments in
// random pieces, all against the reference.
TEST(EnvironScannerTest, FindsWhatGetenvWouldFind) {
  for (const std::string& input :
       {""s, "XAUTHORITY=/one\0XAUTHORITY=/two\0"s, "OLD_XAUTHORITY=/no\0FOO=XAUTHORITY=/no\0"s,
        "XAUTHORITY\0XAUTH\0XAUTHORITY=/a=b"s, "XAUTHORITY=" + std::string(16, 'a') + '\0',
        "XAUTHORITY=" + std::string(17, 'a')}) {
    for (size_t piece : {size_t(0), size_t(1), size_t(5)}) {
      SCOPED_TRACE(testing::PrintToString(input) + ", pieces of " + std::to_string(piece));
      Answer expected = reference(input, 16), answer = scan(input, 16, piece);
      EXPECT_EQ(answer.state, expected.state);
      EXPECT_EQ(answer.value, expected.value);
    }
  }

  std::mt19937 random(20240611);
  const std::vector<std::string> names = {"XAUTHORITY", "XAUTHORIT", "XAUTHORITYY", "PATH",
                                          "X", "", "XAUTHORITY"};
  const std::string alphabet = "/aXA=Z.\n";
  for (int round = 0; round < 3000; ++round) {
    std::string input;
    int entries = std::uniform_int_distribution<int>(0, 6)(random);
    for (int e = 0; e < entries; ++e) {
      input += names[random() % names.size()];
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
    Answer expected = reference(input, 12), answer = scan(input, 12, piece);
    ASSERT_EQ(answer.state, expected.state);
    ASSERT_EQ(answer.value, expected.value);
  }
}

} // namespace
