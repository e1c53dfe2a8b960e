#pragma once

// A position in framebuffer coordinates (signed 32-bit, y grows downwards).

namespace rfb {

struct Point {
  int x = 0;
  int y = 0;

  constexpr Point() = default;
  constexpr Point(int x_, int y_) : x(x_), y(y_) {}

  constexpr Point translate(const Point& by) const { return Point(x + by.x, y + by.y); }
  constexpr Point negate() const { return Point(-x, -y); }

  constexpr bool operator==(const Point& other) const = default;

  constexpr Point operator+(const Point& other) const { return translate(other); }
  constexpr Point operator-(const Point& other) const { return Point(x - other.x, y - other.y); }
};

} // namespace rfb
