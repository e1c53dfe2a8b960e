#pragma once

// Secrets kwo-serve makes for itself (the X cookie, the generated viewer
// password).
//
// Failures: every function throws plat::SystemException when the kernel's
// random source refuses.

#include <cstdint>
#include <string>
#include <vector>

namespace kwoserve {

class Secrets {
public:
  // `count` bytes from the kernel's random source (getrandom).
  static std::vector<uint8_t> randomBytes(size_t count);
  // 8 letters and digits (RFB password authentication uses 8 characters),
  // without look-alikes such as 0/O and 1/l.
  static std::string randomPassword();
};

} // namespace kwoserve
