#include "uilibs/tx/RequestLimit.h"

#include <gtest/gtest.h>

namespace {

TEST(RequestLimitTest, PropertyBytesOfOneRequest) {
  struct Case {
    const char* name;
    long extended;
    long classic;
    size_t bytes;
  } cases[] = {
    {"classic only", 0, 65535, 65535 * 4 - 24},
    {"with BIG-REQUESTS", 4194303, 65535, 4194303 * size_t(4) - 28},
    {"nonsense from the server", 0, 0, 0},
    {"header larger than the limit", 0, 5, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(tx::maxPropertyBytes(c.extended, c.classic), c.bytes);
  }
}

} // namespace
