#include "base/rdr/EndOfStream.h"

namespace rdr {

EndOfStream::EndOfStream(std::string_view message) : plat::Exception(message, "EndOfStream") {}

EndOfStream::EndOfStream(std::string_view message, std::string_view kind)
  : plat::Exception(message, kind) {}

} // namespace rdr
