#pragma once

// Helpers shared by the stream tests: exception texts, byte patterns and the
// reference big-endian encoding the streams are checked against.

#include "base/plat/Exception.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace rdr::test {

// The text of the `E` that `body` throws, after "<type>: " when `withType`;
// "" and a failure when it throws none.
template <class E = plat::Exception, class Body>
std::string thrown(Body body, bool withType = false) {
  try {
    body();
  } catch (const E& e) {
    return withType ? std::string(e.type()) + ": " + e.str() : std::string(e.str());
  }
  ADD_FAILURE() << "no exception";
  return {};
}

inline void appendBE(std::vector<uint8_t>& out, uint64_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; i--)
    out.push_back(uint8_t(v >> (8 * i)));
}

inline void appendText(std::vector<uint8_t>& out, std::string_view text) {
  out.insert(out.end(), text.begin(), text.end());
}

// n pseudo-random bytes, the same for the same seed.
inline std::vector<uint8_t> pattern(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> bytes(n);
  for (auto& b : bytes)
    b = uint8_t(rng());
  return bytes;
}

inline std::vector<uint8_t> bytesOf(std::string_view text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

} // namespace rdr::test
