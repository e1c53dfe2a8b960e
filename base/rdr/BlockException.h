#pragma once

// More data must arrive before the read can go on. Not a failure: readers of
// non-blocking streams run again from their checkpoint when it comes.

#include "base/plat/Exception.h"


namespace rdr {

class BlockException : public plat::Exception {
public:
  BlockException();
};

} // namespace rdr
