#pragma once

// How much data one X request may carry on the toolkit's connection. A
// request longer than the server's maximum is refused with BadLength, which
// outside an ErrorCatcher ends the process; data of unbounded size (texts
// from other clients or from viewers) is checked against this first.

#include <cstddef>

namespace tx {

// The most bytes of property data that one ChangeProperty request can
// carry: the server's maximum request length (with BIG-REQUESTS when the
// server has it) less the request's own header. The display must be open.
size_t maxPropertyBytes();

// The same from the server's maximum request lengths in 4-byte units
// (extended 0: no BIG-REQUESTS).
size_t maxPropertyBytes(long extendedMaxUnits, long maxUnits);

} // namespace tx
