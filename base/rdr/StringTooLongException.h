#pragma once

// A length read from the peer exceeds what the reader accepts.

#include "base/plat/Exception.h"


namespace rdr {

class StringTooLongException : public plat::Exception {
public:
  StringTooLongException();
};

} // namespace rdr
