#pragma once

// Helpers shared by the stream tests: exception texts, byte patterns and the
// reference big-endian encoding the streams are checked against.

#include "base/plat/Exception.h"
#include "base/rdr/BlockException.h"
#include "base/rdr/InStream.h"
#include "base/rdr/OutStream.h"

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

// A message of random items (kind 0..3: U8, U16, U32, U64; 4: a short
// string; 5: a string with a 32-bit length) and its reference encoding.
struct RandomItems {
  std::vector<std::pair<int, uint64_t>> items; // kind, value or string length
  std::vector<uint8_t> wire;

  static std::string text(uint64_t length) { return std::string(length, char('a' + length % 26)); }

  RandomItems(std::mt19937& rng, size_t count) {
    for (size_t i = 0; i < count; i++) {
      int kind = int(rng() % 6);
      uint64_t v = uint64_t(rng()) << 32 | rng();
      if (kind >= 4)
        v %= kind == 4 ? 200 : 600;
      else if (kind < 3)
        v &= (uint64_t(1) << (8 << kind)) - 1;
      appendBE(wire, v, kind == 4 ? 1 : kind == 5 ? 4 : 1 << kind);
      if (kind >= 4)
        appendText(wire, text(v));
      items.push_back({kind, v});
    }
  }

  void write(OutStream& out) const {
    for (auto [kind, v] : items) {
      switch (kind) {
      case 0: out.writeU8(uint8_t(v)); break;
      case 1: out.writeU16(uint16_t(v)); break;
      case 2: out.writeU32(uint32_t(v)); break;
      case 3: out.writeU64(v); break;
      case 4: out.writeShortString(text(v)); break;
      default: out.writeString(text(v)); break;
      }
    }
  }

  // Reads the items from `done` on, checkpointing after each: true when all
  // are read, false when the input ran dry.
  bool resume(InStream& in, size_t& done) const {
    try {
      for (; done < items.size(); done++) {
        auto [kind, v] = items[done];
        if (kind >= 4) {
          std::string got = kind == 4 ? in.readShortString() : in.readString(600);
          EXPECT_EQ(got, text(v)) << "item " << done;
        } else {
          uint64_t got = kind == 0   ? in.readU8()
                         : kind == 1 ? in.readU16()
                         : kind == 2 ? in.readU32()
                                     : in.readU64();
          EXPECT_EQ(got, v) << "item " << done;
        }
        in.checkpoint();
      }
      return true;
    } catch (const BlockException&) {
      EXPECT_EQ(in.pos(), in.checkpointPos()) << "a block leaves the stream at its checkpoint";
      return false;
    }
  }
};

} // namespace rdr::test
