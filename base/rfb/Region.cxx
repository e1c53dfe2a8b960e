#include "base/rfb/Region.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "base/plat/Assert.h"
#include "base/plat/Exception.h"
#include "base/plat/Format.h"
#include "base/plat/LogSrc.h"
#include "base/rdr/BlockException.h"
#include "base/rdr/InStream.h"
#include "base/rdr/OutStream.h"

namespace rfb {

namespace {

plat::LogSrc vlog("Region");

static_assert(sizeof(RgnRect) == sizeof(pixman_box16_t));
static_assert(offsetof(RgnRect, x1) == offsetof(pixman_box16_t, x1));
static_assert(offsetof(RgnRect, y1) == offsetof(pixman_box16_t, y1));
static_assert(offsetof(RgnRect, x2) == offsetof(pixman_box16_t, x2));
static_assert(offsetof(RgnRect, y2) == offsetof(pixman_box16_t, y2));

// The wire count is 16 bits wide.
constexpr int maxWireBoxes = 65535;

// Any translation this far moves every 16-bit box wholly out of range, so
// larger offsets are cut to it before pixman adds them to int coordinates.
constexpr int maxShift = 65536;

pixman_box16_t toBox(const RgnRect& r) {
  return pixman_box16_t{r.x1, r.y1, r.x2, r.y2};
}

const RgnRect* asRgnRects(const pixman_box16_t* boxes) {
  return reinterpret_cast<const RgnRect*>(boxes);
}

// pixman's shared block of the empty region. Owned blocks always have a
// non-zero size, so a zero-sized block that is not this one is the shared
// "broken" block.
const pixman_region16_data_t* emptyData() {
  static const pixman_region16_data_t* const data = [] {
    pixman_region16_t r;
    pixman_region_init(&r);
    return r.data;
  }();
  return data;
}

// pixman frees region blocks with free(), so blocks made here come from
// malloc() and share its layout: the header, then the boxes.
pixman_region16_data_t* allocData(size_t count) {
  PLAT_ASSERT(count <= (SIZE_MAX - sizeof(pixman_region16_data_t)) / sizeof(pixman_box16_t));
  size_t bytes = sizeof(pixman_region16_data_t) + count * sizeof(pixman_box16_t);
  auto* data = static_cast<pixman_region16_data_t*>(std::malloc(bytes));
  PLAT_ASSERT(data != nullptr);
  data->size = long(count);
  data->numRects = 0;
  return data;
}

pixman_box16_t* dataBoxes(pixman_region16_data_t* data) {
  return reinterpret_cast<pixman_box16_t*>(data + 1);
}

int64_t floorMod(int64_t a, int64_t m) {
  int64_t r = a % m;
  return r < 0 ? r + m : r;
}

Region buildUnion(std::span<const Rect> rects) {
  if (rects.empty())
    return Region();
  if (rects.size() == 1)
    return Region(rects[0]);
  size_t half = rects.size() / 2;
  Region left = buildUnion(rects.first(half));
  Region right = buildUnion(rects.subspan(half));
  left.assign_union(right);
  return left;
}

bool sameSpans(std::span<const RgnRect> a, std::span<const RgnRect> b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](const RgnRect& p, const RgnRect& q) { return p.x1 == q.x1 && p.x2 == q.x2; });
}

} // namespace

struct Region::PendingRead {
  size_t count = 0;
  RgnRect extents;
  std::vector<RgnRect> boxes;
};

Region::Region() {
  pixman_region_init(&rgn_);
}

Region::Region(const Rect& rect) : Region() {
  reset(rect);
}

Region::Region(std::span<const Rect> rects) : Region() {
  Region built = buildUnion(rects);
  swap(built);
}

Region::Region(const Region& other) : Region() {
  copyFrom(other);
}

Region::Region(Region&& other) noexcept : Region() {
  swap(other);
}

Region& Region::operator=(const Region& other) {
  if (this != &other)
    copyFrom(other);
  return *this;
}

Region& Region::operator=(Region&& other) noexcept {
  if (this != &other) {
    Region taken(std::move(other));
    swap(taken);
  }
  return *this;
}

Region::~Region() {
  pixman_region_fini(&rgn_);
}

void Region::swap(Region& other) noexcept {
  std::swap(rgn_, other.rgn_);
  std::swap(pending_, other.pending_);
}

void Region::copyFrom(const Region& other) {
  // pixman reuses our block when it is large enough. Copying a broken region
  // yields a broken region (and pixman reports failure); any other failure is
  // a new block that could not be had.
  bool ok = pixman_region_copy(&rgn_, &other.rgn_);
  PLAT_ASSERT(ok || other.isBroken());
}

void Region::releaseData() {
  if (rgn_.data && rgn_.data->size)
    std::free(rgn_.data);
  rgn_.data = const_cast<pixman_region16_data_t*>(emptyData());
}

void Region::clear() {
  pixman_region_clear(&rgn_);
}

void Region::reset(const Rect& rect) {
  RgnRect box(rect);
  if (box.isEmpty()) {
    clear();
    return;
  }
  releaseData();
  rgn_.extents = toBox(box);
  rgn_.data = nullptr;
}

void Region::setBoxes(const RgnRect& extents, size_t count, const RgnRect* boxes) {
  if (count == 0) {
    clear();
    return;
  }
  if (count == 1) {
    releaseData();
    rgn_.extents = toBox(extents);
    rgn_.data = nullptr;
    return;
  }
  if (!rgn_.data || rgn_.data->size < long(count)) {
    pixman_region16_data_t* data = allocData(count);
    releaseData();
    rgn_.data = data;
  }
  std::memcpy(dataBoxes(rgn_.data), boxes, count * sizeof(pixman_box16_t));
  rgn_.data->numRects = long(count);
  rgn_.extents = toBox(extents);
}

void Region::translate(int dx, int dy) {
  if (isEmpty())
    return;
  dx = std::clamp(dx, -maxShift, maxShift);
  dy = std::clamp(dy, -maxShift, maxShift);
  bool clamps = rgn_.extents.x1 + dx < INT16_MIN || rgn_.extents.y1 + dy < INT16_MIN ||
                rgn_.extents.x2 + dx > INT16_MAX || rgn_.extents.y2 + dy > INT16_MAX;
  pixman_region_translate(&rgn_, dx, dy);
  if (!clamps)
    return;
  if (isEmpty()) {
    // pixman leaves the shifted (wrapped) corner in the extents.
    clear();
    return;
  }
  // Clamping squeezes the boxes at the edge onto the same x span, so two
  // adjacent bands can become identical and must be merged to stay canonical.
  if (!isCanonical()) {
    std::vector<Rect> rects;
    get_rects(&rects);
    Region rebuilt(rects);
    swap(rebuilt);
  }
}

void Region::assign_union(const Region& a, const Region& b) {
  pixman_region_union(&rgn_, &a.rgn_, &b.rgn_);
}

void Region::assign_intersect(const Region& a, const Region& b) {
  pixman_region_intersect(&rgn_, &a.rgn_, &b.rgn_);
}

void Region::assign_subtract(const Region& a, const Region& b) {
  pixman_region_subtract(&rgn_, &a.rgn_, &b.rgn_);
}

Region Region::unite(const Region& other) const {
  Region r;
  r.assign_union(*this, other);
  return r;
}

Region Region::intersect(const Region& other) const {
  Region r;
  r.assign_intersect(*this, other);
  return r;
}

Region Region::subtract(const Region& other) const {
  Region r;
  r.assign_subtract(*this, other);
  return r;
}

bool Region::equals(const Region& other) const {
  if (isBroken() || other.isBroken())
    return isBroken() && other.isBroken();
  if (isEmpty() || other.isEmpty())
    return isEmpty() && other.isEmpty();
  return pixman_region_equal(&rgn_, &other.rgn_);
}

bool Region::isEmpty() const {
  return !pixman_region_not_empty(&rgn_);
}

bool Region::isBroken() const {
  return rgn_.data && rgn_.data->size == 0 && rgn_.data != emptyData();
}

int Region::numRects() const {
  return pixman_region_n_rects(&rgn_);
}

Rect Region::get_bounding_rect() const {
  return Rect(RgnRect(rgn_.extents.x1, rgn_.extents.y1, rgn_.extents.x2, rgn_.extents.y2));
}

std::span<const RgnRect> Region::boxes() const {
  int n = 0;
  const pixman_box16_t* b = pixman_region_rectangles(&rgn_, &n);
  return std::span<const RgnRect>(asRgnRects(b), size_t(n));
}

void Region::get_rects(std::vector<Rect>* rects, bool leftToRight, bool topToBottom) const {
  rects->clear();
  std::span<const RgnRect> all = boxes();
  rects->reserve(all.size());
  // Walk the bands in the wanted order, and each band's boxes likewise.
  size_t nBands = 0;
  std::vector<std::pair<size_t, size_t>> bands;
  for (size_t i = 0; i < all.size();) {
    size_t j = i;
    while (j < all.size() && all[j].y1 == all[i].y1)
      j++;
    bands.emplace_back(i, j);
    i = j;
    nBands++;
  }
  for (size_t b = 0; b < nBands; b++) {
    auto [first, last] = bands[topToBottom ? b : nBands - 1 - b];
    for (size_t k = 0; k < last - first; k++)
      rects->push_back(Rect(all[leftToRight ? first + k : last - 1 - k]));
  }
}

Region Region::roundToMultiple(int w, int h, const Point& origin) const {
  PLAT_ASSERT(w > 0 && h > 0);
  std::vector<Rect> cells;
  std::span<const RgnRect> all = boxes();
  cells.reserve(all.size());
  for (const RgnRect& b : all) {
    int64_t x1 = b.x1 - floorMod(int64_t(b.x1) - origin.x, w);
    int64_t y1 = b.y1 - floorMod(int64_t(b.y1) - origin.y, h);
    int64_t x2 = int64_t(b.x2) + w - 1 - floorMod(int64_t(b.x2) + w - 1 - origin.x, w);
    int64_t y2 = int64_t(b.y2) + h - 1 - floorMod(int64_t(b.y2) + h - 1 - origin.y, h);
    Rect cell(RgnRect::clamp(x1), RgnRect::clamp(y1), RgnRect::clamp(x2), RgnRect::clamp(y2));
    // Neighbouring boxes of a band often round to the same cells.
    if (!cells.empty() && cells.back() == cell)
      continue;
    cells.push_back(cell);
  }
  return Region(cells);
}

void Region::read(rdr::InStream& is) {
  try {
    if (!pending_) {
      // The header is one item: a block inside it rewinds the stream to the
      // caller's checkpoint and the header is read again next time.
      auto p = std::make_unique<PendingRead>();
      p->count = is.readU16();
      p->extents.x1 = int16_t(is.readU16());
      p->extents.y1 = int16_t(is.readU16());
      p->extents.x2 = int16_t(is.readU16());
      p->extents.y2 = int16_t(is.readU16());
      if (p->count >= 2)
        p->boxes.reserve(p->count);
      pending_ = std::move(p);
      is.checkpoint();
    }
    PendingRead& p = *pending_;
    while (p.count >= 2 && p.boxes.size() < p.count) {
      RgnRect box;
      box.x1 = int16_t(is.readU16());
      box.y1 = int16_t(is.readU16());
      box.x2 = int16_t(is.readU16());
      box.y2 = int16_t(is.readU16());
      p.boxes.push_back(box);
      is.checkpoint();
    }
  } catch (const rdr::BlockException&) {
    throw;
  } catch (...) {
    // The stream failed for good: a later read starts a fresh region.
    pending_.reset();
    throw;
  }

  std::unique_ptr<PendingRead> done = std::move(pending_);
  if (done->count < 2) {
    reset(Rect(done->extents));
    return;
  }
  if (boxesCanonical(done->extents, done->boxes)) {
    setBoxes(done->extents, done->boxes.size(), done->boxes.data());
    return;
  }
  // The peer's list breaks the banding rules that every operation relies on;
  // keep the pixels it names, in canonical form.
  vlog.debug("Rebuilding a malformed region of %zu boxes", done->boxes.size());
  std::vector<Rect> rects;
  rects.reserve(done->boxes.size());
  for (const RgnRect& b : done->boxes)
    rects.push_back(Rect(b));
  Region rebuilt(rects);
  swap(rebuilt);
}

int Region::readIndex() const {
  return pending_ ? int(pending_->boxes.size()) : -1;
}

void Region::write(rdr::OutStream& os) const {
  int n = numRects();
  if (n > maxWireBoxes)
    throw plat::Exception(plat::format("Region of %d rectangles is too large to send", n));
  os.writeU16(uint16_t(n));
  os.writeU16(uint16_t(rgn_.extents.x1));
  os.writeU16(uint16_t(rgn_.extents.y1));
  os.writeU16(uint16_t(rgn_.extents.x2));
  os.writeU16(uint16_t(rgn_.extents.y2));
  if (n < 2)
    return;
  for (const RgnRect& b : boxes()) {
    os.writeU16(uint16_t(b.x1));
    os.writeU16(uint16_t(b.y1));
    os.writeU16(uint16_t(b.x2));
    os.writeU16(uint16_t(b.y2));
  }
}

std::string Region::print() const {
  std::string text = plat::format("num rects %3d extents %s\n", numRects(), get_bounding_rect().print().c_str());
  for (const RgnRect& b : boxes())
    text += plat::format("    rect %s\n", Rect(b).print().c_str());
  return text;
}

bool Region::isCanonical() const {
  int n = numRects();
  RgnRect extents(rgn_.extents.x1, rgn_.extents.y1, rgn_.extents.x2, rgn_.extents.y2);
  if (n == 0)
    return rgn_.data != nullptr;
  if (n == 1)
    return rgn_.data == nullptr && !extents.isEmpty();
  if (!rgn_.data || rgn_.data->size < rgn_.data->numRects)
    return false;
  return boxesCanonical(extents, boxes());
}

bool Region::boxesCanonical(const RgnRect& extents, std::span<const RgnRect> all) {
  if (all.empty())
    return extents.isEmpty();
  RgnRect bound = all.front();
  std::span<const RgnRect> previous;
  for (size_t i = 0; i < all.size();) {
    const RgnRect& head = all[i];
    size_t j = i;
    for (; j < all.size() && all[j].y1 == head.y1; j++) {
      const RgnRect& b = all[j];
      if (b.isEmpty() || b.y2 != head.y2)
        return false;
      if (j > i && b.x1 <= all[j - 1].x2)
        return false;
      bound.x1 = std::min(bound.x1, b.x1);
      bound.x2 = std::max(bound.x2, b.x2);
    }
    std::span<const RgnRect> band = all.subspan(i, j - i);
    if (!previous.empty()) {
      if (head.y1 < previous.front().y2)
        return false;
      if (head.y1 == previous.front().y2 && sameSpans(previous, band))
        return false;
    }
    bound.y2 = head.y2;
    previous = band;
    i = j;
  }
  return bound == extents;
}

} // namespace rfb
