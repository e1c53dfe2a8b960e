#pragma once

#include <cstdint>

namespace plat {

// Blocks the calling thread for at least `ms` milliseconds (none when zero
// or negative), on the monotonic clock; signals do not cut the wait short.
// Throws SystemException "select" when waiting fails for another reason.
void sleep(int32_t ms);

} // namespace plat
