#pragma once

// The X authorization of kwo-serve's virtual display: a fresh random
// MIT-MAGIC-COOKIE-1 in an Xauthority file of mode 600 (in the private
// runtime folder). The X server reads it through -auth; kwo-serve's X
// clients through XAUTHORITY. The entry matches any display on any address
// (family Wild, no number), so the file can be written before the server
// has chosen its display number.
//
// Ownership: owns the file and removes it on destruction.
// Failures: the constructor throws plat::SystemException when the cookie
// cannot be made or the file written.

#include "kwo-serve/PrivateFile.h"

#include <cstdint>
#include <string>

namespace kwoserve {

class XCookieFile {
public:
  explicit XCookieFile(const std::string& path);

  const std::string& path() const { return file_.path(); }

  // One Xauthority entry (the documented binary format).
  static std::string entry(uint16_t family, const std::string& address,
                           const std::string& number, const std::string& name,
                           const std::string& data);

private:
  PrivateFile file_;
};

} // namespace kwoserve
