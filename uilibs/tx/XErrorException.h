#pragma once

// An X protocol error turned into an exception by ErrorCatcher::check. The
// message already holds the X library's text for the code.

#include "base/plat/Exception.h"

#include <string_view>

namespace tx {

class XErrorException : public plat::Exception {
public:
  XErrorException(std::string_view message, int code);

  // The X error code (BadWindow, BadAtom, ...).
  int code() const noexcept { return code_; }

private:
  int code_;
};

} // namespace tx
