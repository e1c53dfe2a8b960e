#include "libs/svr/tests/DesktopTestSupport.h"

#include "libs/svr/RandrSupport.h"

namespace {

TEST(RandrSupport, VersionRule) {
  struct Case {
    int major, minor;
    bool usable;
  };
  const Case cases[] = {{0, 0, false}, {1, 0, false}, {1, 1, false},
                        {1, 2, true},  {1, 6, true},  {2, 0, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.major << "." << c.minor);
    EXPECT_EQ(svr::RandrSupport::versionUsable(c.major, c.minor), c.usable);
  }
}

} // namespace
