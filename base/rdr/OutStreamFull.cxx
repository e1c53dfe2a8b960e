#include "base/rdr/OutStreamFull.h"

namespace rdr {

OutStreamFull::OutStreamFull() : plat::Exception("OutStream full", "OutStreamFull") {}

} // namespace rdr
