#include "base/rdr/BlockException.h"

namespace rdr {

BlockException::BlockException() : plat::Exception("Reading from InStream would block") {}

} // namespace rdr
