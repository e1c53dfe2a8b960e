#include "kwo-serve/CutText.h"

#include <gtest/gtest.h>

namespace kwoserve {

TEST(CutText, Latin1ToUtf8Cases) {
  const std::vector<std::pair<std::string, std::string>> cases{
      {"caf\xe9", "caf\xc3\xa9"},
      {"a\r\nb\rc\n", "a\nb\nc\n"},
      {std::string("nul\0x", 5), std::string("nul\0x", 5)},
  };
  for (const auto& [in, out] : cases) {
    SCOPED_TRACE(in);
    EXPECT_EQ(CutText::latin1ToUtf8(in), out);
  }
}

} // namespace kwoserve
