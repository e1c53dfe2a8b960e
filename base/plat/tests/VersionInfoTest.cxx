#include "base/plat/ProductInfo.h"
#include "base/plat/VersionInfo.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

TEST(VersionInfo, RecordReplacesEarlierValues) {
  plat::VersionInfo::record(1, 2, 3, "abc");
  EXPECT_EQ(plat::VersionInfo::display(), "1.2.3 (abc)");
  EXPECT_EQ(plat::VersionInfo::numeric(), "1.2.3.abc");
  plat::VersionInfo::record(4, 0, 17, "9");
  EXPECT_EQ(plat::VersionInfo::display(), "4.0.17 (9)");
  EXPECT_EQ(plat::VersionInfo::numeric(), "4.0.17.9");
}

TEST(ProductInfo, NamesTheProgramAndVersionWithinSeventyNineColumns) {
  plat::VersionInfo::record(2, 5, 1, "77");
  plat::ProductInfo::setProgramName("kwoagent-x11");
  std::string text = plat::ProductInfo::text();
  EXPECT_EQ(text.rfind("kwoagent-x11 - ", 0), 0u);
  EXPECT_NE(text.find("Version 2.5.1 (77)"), std::string::npos);
  EXPECT_NE(text.back(), '\n');
  std::istringstream lines(text);
  int count = 0;
  for (std::string line; std::getline(lines, line); count++)
    EXPECT_LE(line.size(), 79u) << line;
  EXPECT_GE(count, 2);
}

} // namespace
