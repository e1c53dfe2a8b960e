#pragma once

// The input ended: the peer closed the descriptor, or a memory stream ran out.

#include "base/plat/Exception.h"

#include <string_view>

namespace rdr {

class EndOfStream : public plat::Exception {
public:
  explicit EndOfStream(std::string_view message = "End of IO stream");

protected:
  // For more specific ends (such as the end of one message) with their own kind.
  EndOfStream(std::string_view message, std::string_view kind);
};

} // namespace rdr
