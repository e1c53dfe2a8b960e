#pragma once

// An output stream cannot take more bytes: it has no buffer or reached its limit.

#include "base/plat/Exception.h"


namespace rdr {

class OutStreamFull : public plat::Exception {
public:
  OutStreamFull();
};

} // namespace rdr
