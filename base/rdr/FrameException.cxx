#include "base/rdr/FrameException.h"

namespace rdr {

FrameException::FrameException(std::string_view message)
  : plat::Exception(message, "FrameException") {}

} // namespace rdr
