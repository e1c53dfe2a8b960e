#pragma once

// The box of a region: signed 16-bit coordinates, x2 and y2 exclusive. Its
// layout matches pixman's 16-bit box so that region boxes can be handed out
// without copying.

#include <cstdint>

namespace rfb {

struct Rect;

struct RgnRect {
  int16_t x1 = 0;
  int16_t y1 = 0;
  int16_t x2 = 0;
  int16_t y2 = 0;

  constexpr RgnRect() = default;
  constexpr RgnRect(int16_t x1_, int16_t y1_, int16_t x2_, int16_t y2_)
    : x1(x1_), y1(y1_), x2(x2_), y2(y2_) {}
  // Clamps every coordinate into -32768..32767; a rectangle reaching past
  // that range loses the part outside (it may become empty).
  explicit RgnRect(const Rect& rect);

  constexpr bool isEmpty() const { return x2 <= x1 || y2 <= y1; }
  constexpr bool operator==(const RgnRect& other) const = default;

  // Clamps a 64-bit coordinate into the 16-bit range.
  static constexpr int16_t clamp(int64_t v) {
    return v < INT16_MIN ? INT16_MIN : v > INT16_MAX ? INT16_MAX : static_cast<int16_t>(v);
  }
};

} // namespace rfb
