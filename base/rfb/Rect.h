#pragma once

// A rectangle in framebuffer coordinates: top-left corner tl (inclusive) and
// bottom-right corner br (exclusive). It is empty when br.x <= tl.x or
// br.y <= tl.y; empty rectangles keep their coordinates.

#include <cstdint>
#include <string>

#include "base/rfb/Point.h"
#include "base/rfb/RgnRect.h"

namespace rfb {

struct Rect {
  Point tl;
  Point br;

  constexpr Rect() = default;
  constexpr Rect(int x1, int y1, int x2, int y2) : tl(x1, y1), br(x2, y2) {}
  constexpr Rect(const Point& tl_, const Point& br_) : tl(tl_), br(br_) {}
  constexpr explicit Rect(const RgnRect& box) : tl(box.x1, box.y1), br(box.x2, box.y2) {}

  static constexpr Rect fromXYWH(int x, int y, int w, int h) { return Rect(x, y, x + w, y + h); }
  constexpr void setXYWH(int x, int y, int w, int h) { *this = fromXYWH(x, y, w, h); }

  constexpr int width() const { return br.x - tl.x; }
  constexpr int height() const { return br.y - tl.y; }
  // 64-bit so that large rectangles cannot overflow; 0 for an empty rectangle.
  constexpr int64_t area() const {
    return isEmpty() ? 0 : (int64_t(br.x) - tl.x) * (int64_t(br.y) - tl.y);
  }
  constexpr bool isEmpty() const { return br.x <= tl.x || br.y <= tl.y; }

  // The common part: larger top-left, smaller bottom-right; may be empty.
  constexpr Rect intersect(const Rect& r) const {
    return Rect(tl.x > r.tl.x ? tl.x : r.tl.x, tl.y > r.tl.y ? tl.y : r.tl.y,
                br.x < r.br.x ? br.x : r.br.x, br.y < r.br.y ? br.y : r.br.y);
  }
  // The smallest rectangle holding both; an empty operand is ignored.
  constexpr Rect unionBoundary(const Rect& r) const {
    if (r.isEmpty())
      return *this;
    if (isEmpty())
      return r;
    return Rect(tl.x < r.tl.x ? tl.x : r.tl.x, tl.y < r.tl.y ? tl.y : r.tl.y,
                br.x > r.br.x ? br.x : r.br.x, br.y > r.br.y ? br.y : r.br.y);
  }
  constexpr Rect translate(const Point& by) const { return Rect(tl + by, br + by); }

  // True when r lies wholly inside this rectangle (coordinate-wise).
  constexpr bool encloses(const Rect& r) const {
    return r.tl.x >= tl.x && r.tl.y >= tl.y && r.br.x <= br.x && r.br.y <= br.y;
  }
  constexpr bool contains(const Point& p) const {
    return p.x >= tl.x && p.y >= tl.y && p.x < br.x && p.y < br.y;
  }
  constexpr bool overlaps(const Rect& r) const { return !intersect(r).isEmpty(); }

  constexpr bool operator==(const Rect& other) const = default;

  // "x1,y1 to x2,y2".
  std::string print() const;
  // "WxH at x,y".
  std::string printWH() const;
};

} // namespace rfb
