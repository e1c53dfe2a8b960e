#pragma once

// Turns one fuzz input into a payload and the sizes of the pieces it is to
// be delivered in, so that the fuzzer steers where reads are cut short.
//
// Layout: byte 0 holds the number n (0..15, low four bits) of size bytes
// that follow; each size byte s gives a piece of s + 1 bytes; the rest of
// the input is the payload. The sizes are used in turn, cyclically; with no
// size byte the payload comes in one piece.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace fuzz {

class SplitInput {
public:
  SplitInput(const uint8_t* data, size_t size);

  std::span<const uint8_t> payload() const { return payload_; }
  // The payload cut into pieces; concatenated they are the payload again.
  std::vector<std::span<const uint8_t>> pieces() const { return cut(payload_); }
  // Any bytes cut by the same sizes.
  std::vector<std::span<const uint8_t>> cut(std::span<const uint8_t> bytes) const;

private:
  std::span<const uint8_t> payload_;
  std::vector<size_t> sizes_;
};

} // namespace fuzz
