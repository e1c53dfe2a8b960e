#pragma once

// The proof a launched agent asks of the process at the other end of its
// socket: 32 fresh random bytes, sent first on the connection, whose SHA-256
// digest (as 64 lowercase hex digits) was on the agent's command line.
// The bytes never appear on a command line, so other local users, who can
// read command lines, cannot answer the challenge.

#include "base/crypto/mbedtls/Sha256.h"

#include <array>
#include <cstdint>
#include <string>

namespace agenthost {

class HashChallenge {
public:
  static constexpr size_t size = 32;

  // Draws the bytes from the kernel's random source (getrandom). Throws
  // plat::SystemException "getrandom" when it fails.
  HashChallenge();

  const std::array<uint8_t, size>& bytes() const { return bytes_; }
  // The digest of bytes() as the "-hash" argument.
  const std::string& hashHex() const { return hashHex_; }

  // Lowercase hex of any byte block.
  static std::string hex(const uint8_t* data, size_t length);

private:
  std::array<uint8_t, size> bytes_;
  std::string hashHex_;
};

} // namespace agenthost
