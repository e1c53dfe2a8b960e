#include "base/plat/Exception.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace {

TEST(Exception, CutsMessageAndKindToTheirLimits) {
  plat::Exception e(std::string(300, 'm'), std::string(100, 'k'));
  EXPECT_EQ(std::string(e.str()).size(), 255u);
  EXPECT_EQ(std::string(e.type()).size(), 63u);
}

TEST(Exception, DescribeShowsKindOnlyWhenPresent) {
  EXPECT_EQ(plat::Exception("plain").describe(), "plain");
  EXPECT_EQ(plat::Exception("End of IO stream", "EndOfStream").describe(),
            "[EndOfStream] End of IO stream");
}

TEST(SystemException, NamesCallErrorTextAndNumber) {
  plat::SystemException e("shmctl(IPC_STAT)", EINVAL);
  EXPECT_STREQ(e.type(), "System-22");
  EXPECT_STREQ(e.str(), "shmctl(IPC_STAT): Invalid argument (22)");
  EXPECT_EQ(e.err(), EINVAL);
}

} // namespace
