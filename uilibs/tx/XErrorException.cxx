#include "uilibs/tx/XErrorException.h"

namespace tx {

XErrorException::XErrorException(std::string_view message, int code)
  : plat::Exception(message, "XError"), code_(code) {}

} // namespace tx
