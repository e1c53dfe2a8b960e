#include "base/plat/Utf8.h"

#include <gtest/gtest.h>

namespace {

TEST(Utf8, SequenceLengths) {
  struct Case {
    std::string_view bytes;
    size_t length;
  } cases[] = {
    {"A", 1},
    {"\xc3\xa9", 2},             // é
    {"\xe2\x82\xac", 3},         // €
    {"\xf0\x9f\x98\x80", 4},     // emoji
    {"\xc0\xaf", 0},             // overlong '/'
    {"\xed\xa0\x80", 0},         // surrogate
    {"\xf4\x90\x80\x80", 0},     // above U+10FFFF
    {"\xe2\x82", 0},             // truncated
    {"\x80", 0},                 // lone continuation
    {"\xff", 0},
    {"", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.bytes)));
    EXPECT_EQ(plat::utf8SequenceLength(c.bytes), c.length);
  }
}

TEST(Utf8, ValidityAndRepair) {
  EXPECT_TRUE(plat::isValidUtf8("plain \xe2\x82\xac text"));
  EXPECT_FALSE(plat::isValidUtf8("bad \xe2\x82 end"));
  EXPECT_EQ(plat::repairUtf8("a\xff" "b"), "a\xef\xbf\xbd" "b");
  EXPECT_EQ(plat::repairUtf8("ok\xc3\xa9"), "ok\xc3\xa9");
}

} // namespace
