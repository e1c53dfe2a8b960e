#pragma once

// The descriptor owner of the io layer and above: the platform layer's, under
// the name io code has always used.

#include "base/plat/ScopedFd.h"

namespace io {

using UniqueFd = plat::ScopedFd;

} // namespace io
