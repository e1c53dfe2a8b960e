#pragma once

// SHA-256 over Mbed TLS. Feed the message in any number of pieces, then take
// the 32-byte digest once; the object can be reused after finish().

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace crypto {

class Sha256 {
public:
  static constexpr size_t digestSize = 32;
  using Digest = std::array<uint8_t, digestSize>;

  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void update(const void* data, size_t length);
  // The digest of everything fed since construction or the last finish();
  // the object then starts a new message.
  Digest finish();

  // The digest of one whole message.
  static Digest digest(const void* data, size_t length);

  // Whether `expected` is exactly `digest`, with every byte compared whatever
  // the earlier ones held, so that the time taken says nothing about how
  // much of a guess was right. Lengths are public and compared first.
  static bool matches(const Digest& digest, std::span<const uint8_t> expected);

private:
  void start();

  // Mbed TLS's context, kept out of this header.
  struct Context;
  std::unique_ptr<Context> context_;
};

} // namespace crypto
