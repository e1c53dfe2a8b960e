#pragma once

// Misuse of the message framing: a message started twice, ended outside a
// frame, or ended with data left unread.

#include "base/plat/Exception.h"

#include <string_view>

namespace rdr {

class FrameException : public plat::Exception {
public:
  explicit FrameException(std::string_view message);
};

} // namespace rdr
