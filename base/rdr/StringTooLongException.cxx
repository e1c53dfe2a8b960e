#include "base/rdr/StringTooLongException.h"

namespace rdr {

StringTooLongException::StringTooLongException()
  : plat::Exception("String exceeds maximum length", "StringTooLongException") {}

} // namespace rdr
