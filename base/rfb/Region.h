#pragma once

// A set of pixels held as pixman's banded 16-bit region. Invariants of the
// box list (pixman keeps them in every operation; code here that edits boxes
// directly keeps them too):
//  1. every box is non-empty;
//  2. boxes form bands of equal y1/y2, ordered by y1, not overlapping;
//  3. inside a band boxes are ordered by x1 and neither overlap nor touch;
//  4. vertically adjacent bands never have identical x spans;
//  5. the extents are the bounding box of all boxes.
// The box sequence is therefore canonical: equal pixel sets give equal boxes,
// top to bottom, then left to right.
// Representations: a single box has no data block (the extents are the box);
// the empty region points at pixman's shared empty block; a region whose block
// could not be enlarged points at pixman's shared "broken" block, reads as
// empty, and turns the result of any operation it takes part in broken too.
// Coordinates outside -32768..32767 are clamped, never rejected.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <pixman.h>

#include "base/rfb/Point.h"
#include "base/rfb/Rect.h"
#include "base/rfb/RgnRect.h"

namespace rdr {
class InStream;
class OutStream;
} // namespace rdr

namespace rfb {

class Region {
public:
  Region();
  // Clamped to 16 bits; an empty rectangle gives the empty region.
  explicit Region(const Rect& rect);
  // The union of all rectangles, built by pairwise (divide-and-conquer) union.
  explicit Region(std::span<const Rect> rects);
  Region(const Rect* rects, size_t count) : Region(std::span<const Rect>(rects, count)) {}
  // A copy does not carry an unfinished read() along.
  Region(const Region& other);
  // The source is left empty.
  Region(Region&& other) noexcept;
  Region& operator=(const Region& other);
  Region& operator=(Region&& other) noexcept;
  ~Region();

  void swap(Region& other) noexcept;

  void clear();
  void reset(const Rect& rect);

  // Takes a prepared, already canonical box list unchanged: count 0 gives the
  // empty region, 1 the extents alone, more a copy of the boxes (in the current
  // block when it is large enough).
  void setBoxes(const RgnRect& extents, size_t count, const RgnRect* boxes);

  // Moves the region; boxes pushed past the 16-bit range are clamped or
  // dropped, and a region moved wholly outside becomes empty.
  void translate(int dx, int dy);
  void translate(const Point& by) { translate(by.x, by.y); }

  void assign_union(const Region& other) { assign_union(*this, other); }
  void assign_intersect(const Region& other) { assign_intersect(*this, other); }
  void assign_subtract(const Region& other) { assign_subtract(*this, other); }
  // this := a op b; a and b may be this region.
  void assign_union(const Region& a, const Region& b);
  void assign_intersect(const Region& a, const Region& b);
  void assign_subtract(const Region& a, const Region& b);

  Region unite(const Region& other) const;
  Region intersect(const Region& other) const;
  Region subtract(const Region& other) const;

  // Same pixel set: same extents and boxes, except that every empty region
  // equals every other whatever its zero-area extents say. A broken region
  // equals only another broken one.
  bool equals(const Region& other) const;
  bool operator==(const Region& other) const { return equals(other); }

  bool isEmpty() const;
  bool isBroken() const;
  // 0 when empty, 1 for a single box.
  int numRects() const;
  Rect get_bounding_rect() const;
  // The boxes in canonical order (the extents for a single box).
  std::span<const RgnRect> boxes() const;
  // The boxes as rectangles, bands top-down or bottom-up, and within a band
  // left to right or right to left (for moving pixels without overwriting
  // sources that are still to be read).
  void get_rects(std::vector<Rect>* rects, bool leftToRight = true, bool topToBottom = true) const;

  // Every cell of the grid (cell w x h, one corner at origin) that the region
  // touches. w and h must be positive.
  Region roundToMultiple(int w, int h, const Point& origin = Point()) const;

  // Wire form, 16-bit big-endian: count, extents, and the boxes when count is
  // 2 or more. read() resumes where it stopped when the stream blocked: it
  // checkpoints the stream after the header and after every box, and the
  // region changes only once the whole region has arrived. A box list that is
  // not canonical is rebuilt by union. write() throws plat::Exception, having
  // written nothing, when the region has more boxes than a count can hold.
  void read(rdr::InStream& is);
  void write(rdr::OutStream& os) const;
  // Index of the next box read() expects; -1 when no read is under way.
  int readIndex() const;

  // "num rects %3d extents x1,y1 to x2,y2\n" and a "    rect ...\n" line per box.
  std::string print() const;

  // True when the boxes keep every invariant listed at the top of this file.
  bool isCanonical() const;

  // The pixman region, for calling pixman directly. Whoever changes it keeps
  // the invariants.
  pixman_region16_t* native() { return &rgn_; }
  const pixman_region16_t* native() const { return &rgn_; }

private:
  struct PendingRead;

  void copyFrom(const Region& other);
  void releaseData();
  static bool boxesCanonical(const RgnRect& extents, std::span<const RgnRect> boxes);

  pixman_region16_t rgn_;
  std::unique_ptr<PendingRead> pending_;
};

inline void swap(Region& a, Region& b) noexcept { a.swap(b); }

} // namespace rfb
