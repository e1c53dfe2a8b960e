#include "base/plat/CaseInsensitive.h"
#include "base/plat/SplitList.h"

#include <gtest/gtest.h>

namespace {

TEST(CaseInsensitive, Comparisons) {
  struct Case {
    const char* a;
    const char* b;
    int order;
  } cases[] = {
    {"PollInterval", "pollinterval", 0}, {"", "", 0},       {"a", "B", -1},
    {"b", "A", 1},                       {"abc", "ab", 1},  {"ab", "ABC", -1},
    {"_x", "a", -1},                     {"Z", "_", 1},     {"\xc3\xa9", "\xc3\x89", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " / " + c.b);
    int order = plat::compareIgnoreCase(c.a, c.b);
    EXPECT_EQ(order < 0 ? -1 : order > 0 ? 1 : 0, c.order);
    EXPECT_EQ(plat::equalsIgnoreCase(c.a, c.b), c.order == 0);
    EXPECT_EQ(plat::LessIgnoreCase()(c.a, c.b), c.order < 0);
  }
}

TEST(SplitList, Items) {
  struct Case {
    const char* list;
    std::vector<std::string> items;
  } cases[] = {
    {nullptr, {}},
    {"", {}},
    {"one", {"one"}},
    {" a , b,,c ", {"a", "b", "c"}},
    {",", {}},
    {"with space, x", {"with space", "x"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.list ? c.list : "<null>");
    EXPECT_EQ(plat::splitList(c.list), c.items);
  }
}

} // namespace
