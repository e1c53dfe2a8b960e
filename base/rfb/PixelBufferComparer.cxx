#include "base/rfb/PixelBufferComparer.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "base/plat/Assert.h"
#include "base/plat/BoolParameter.h"
#include "base/plat/LogSrc.h"
#include "base/rfb/PixelBuffer.h"

namespace rfb {

namespace {

plat::LogSrc vlog("PixelBufferComparer");

plat::BoolParameter simpleRegions(
  "SimpleRegions",
  "Whether to try to simplify update regions containing blocks of solid colour which haven't actually changed",
  false);

// Clips an update to `rect`: copies whose destination or source lies outside
// are dropped, and destinations that lose their source must be sent as
// changed pixels instead.
void clipUpdate(PixelBufferComparer::Update& update, const Rect& rect) {
  const Region clip(rect);
  update.copied.assign_intersect(clip);
  if (!update.copied.isEmpty()) {
    Region valid = update.copied;
    valid.translate(update.offset.negate());
    valid.assign_intersect(clip);
    valid.translate(update.offset);
    update.changed.assign_union(update.copied.subtract(valid));
    update.copied = std::move(valid);
  }
  if (update.copied.isEmpty())
    update.offset = Point();
  update.changed.assign_intersect(clip);
}

bool rowsEqual(const uint8_t* a, const uint8_t* b, size_t bytes) {
  return std::memcmp(a, b, bytes) == 0;
}

// Every pixel of the block equals its top-left pixel.
bool isSolid(const uint8_t* block, size_t rowStep, int width, int height, int bpp) {
  for (int x = 1; x < width; x++)
    if (!rowsEqual(block + size_t(x) * bpp, block, size_t(bpp)))
      return false;
  for (int y = 1; y < height; y++)
    if (!rowsEqual(block + y * rowStep, block, size_t(width) * bpp))
      return false;
  return true;
}

// The start of the grid cell (cells of `step`, one starting at `origin`)
// that holds `v`.
int cellStart(int v, int origin, int step) {
  const int d = v - origin;
  const int cells = d >= 0 ? d / step : -((step - 1 - d) / step);
  return origin + cells * step;
}

// The rows differingBlocks() looks at.
struct RowSample {
  int step;
  int phase;
  bool includes(int y, int origin) const { return ((y - origin) % step + step) % step == phase; }
};

// differingBlocks() for one rectangle: the cells of each row of cells with a
// differing pixel inside `r`, runs joined, appended to `found`.
void differingBlocksIn(const PixelBuffer& a, const PixelBuffer& b, const Rect& r, const Point& grid,
                       const RowSample& rows, std::vector<Rect>& found) {
  const int step = PixelBufferComparer::blockSize;
  const size_t bpp = size_t(a.bytesPerPixel());
  int aStride = 0, bStride = 0;
  const uint8_t* aPixels = a.getPixelsR(r, &aStride);
  const uint8_t* bPixels = b.getPixelsR(r, &bStride);
  const int firstX = cellStart(r.tl.x, grid.x, step);
  std::vector<char> marked(size_t((r.br.x - firstX + step - 1) / step));
  for (int cellY = cellStart(r.tl.y, grid.y, step); cellY < r.br.y; cellY += step) {
    const int top = std::max(cellY, r.tl.y);
    const int bottom = std::min(cellY + step, r.br.y);
    std::fill(marked.begin(), marked.end(), 0);
    bool any = false;
    for (int y = top; y < bottom; y++) {
      if (!rows.includes(y, grid.y))
        continue;
      const uint8_t* rowA = aPixels + size_t(y - r.tl.y) * size_t(aStride) * bpp;
      const uint8_t* rowB = bPixels + size_t(y - r.tl.y) * size_t(bStride) * bpp;
      if (rowsEqual(rowA, rowB, size_t(r.width()) * bpp))
        continue;
      for (size_t cell = 0; cell < marked.size(); cell++) {
        const int left = std::max(firstX + int(cell) * step, r.tl.x);
        const int right = std::min(firstX + int(cell + 1) * step, r.br.x);
        const size_t offset = size_t(left - r.tl.x) * bpp;
        if (!marked[cell] && !rowsEqual(rowA + offset, rowB + offset, size_t(right - left) * bpp))
          marked[cell] = any = true;
      }
    }
    // Whole cells: the caller clips them to the area.
    for (size_t cell = 0; any && cell < marked.size(); cell++) {
      if (!marked[cell])
        continue;
      const int left = firstX + int(cell) * step;
      if (cell > 0 && marked[cell - 1])
        found.back().br.x = left + step;
      else
        found.emplace_back(left, cellY, left + step, cellY + step);
    }
  }
}

} // namespace

PixelBufferComparer::PixelBufferComparer() {
  copy_.preserveContents = true;
}

void PixelBufferComparer::setPB(PixelBuffer* source) {
  pb_ = source;
  if (!source) {
    copy_.setSize(0, 0);
    return;
  }
  copy_.setColourMap(source->getColourMap());
}

Region PixelBufferComparer::syncFormatAndRect(Update* update) {
  PixelBuffer* pb = pb_;
  PLAT_ASSERT(pb);
  Region exposed;
  if (!(pb->getPF() == copy_.getPF())) {
    exposed.reset(pb->getRect());
    copy_.setPF(pb->getPF());
    if (update) {
      update->copied.clear();
      update->changed.clear();
      update->offset = Point();
    }
  }
  const Rect rect = pb->getRect();
  if (copy_.getRect() == rect)
    return exposed;
  exposed.assign_union(Region(rect).subtract(Region(copy_.getRect())));
  moveRect(rect);
  if (update)
    clipUpdate(*update, rect);
  return exposed;
}

// Gives the copy the new rectangle. The pixels stay where they are in
// framebuffer coordinates: the ones both rectangles share keep their values,
// so that a moved source is not compared against shifted pixels.
void PixelBufferComparer::moveRect(const Rect& rect) {
  const Rect old = copy_.getRect();
  if (old.tl == rect.tl) {
    copy_.setSize(rect.width(), rect.height()); // preserveContents keeps the overlap
    return;
  }
  const Rect kept = old.intersect(rect);
  std::vector<uint8_t> saved;
  if (!kept.isEmpty()) {
    saved.resize(size_t(kept.area()) * copy_.bytesPerPixel());
    copy_.getImage(saved.data(), kept);
  }
  copy_.setRect(rect);
  if (!kept.isEmpty())
    copy_.copyRectFrom(kept, saved.data());
}

void PixelBufferComparer::copyFromSource(const Region& region) {
  PLAT_ASSERT(pb_);
  copy_.copyRegionFrom(*pb_, Point(), region, refreshTileWidth, refreshTileHeight);
}

void PixelBufferComparer::compare(Update& update) {
  Region exposed = syncFormatAndRect(&update);
  clipUpdate(update, pb_->getRect());

  copy_.copyRect(update.copied, update.offset);

  Region claimed = update.changed.unite(update.copied);
  update.changed.clear();
  std::vector<Rect> rects;
  claimed.get_rects(&rects);
  for (const Rect& r : rects)
    compareRect(r, &update.changed);

  update.copied.assign_subtract(update.changed);
  if (update.copied.isEmpty())
    update.offset = Point();
  update.changed.assign_union(exposed);
  copyFromSource(exposed);
}

Region PixelBufferComparer::differingBlocks(const PixelBuffer& a, const PixelBuffer& b,
                                            const Region& area, const Point& grid, int rowStep,
                                            int rowPhase) {
  PLAT_ASSERT(a.getPF().bpp == b.getPF().bpp);
  PLAT_ASSERT(rowStep > 0 && rowPhase >= 0 && rowPhase < rowStep);
  const RowSample rows{rowStep, rowPhase};
  std::vector<Rect> found;
  for (const RgnRect& box : area.boxes()) {
    const Rect r(box.x1, box.y1, box.x2, box.y2);
    PLAT_ASSERT(a.getRect().encloses(r) && b.getRect().encloses(r));
    differingBlocksIn(a, b, r, grid, rows, found);
  }
  return Region(found).intersect(area);
}

void PixelBufferComparer::compareRect(const Rect& r, Region* changed) {
  PixelBuffer* pb = pb_;
  PLAT_ASSERT(pb);
  if (!pb->getRect().encloses(r))
    vlog.error("rect %s outside pb %s", r.print().c_str(), pb->getRect().print().c_str());
  PLAT_ASSERT(pb->getRect().encloses(r));
  // Only a synced copy has rows of the same size at the same places.
  PLAT_ASSERT(copy_.getRect() == pb->getRect() && copy_.getPF().bpp == pb->getPF().bpp);
  if (r.isEmpty())
    return;

  const int bpp = pb->bytesPerPixel();
  // Changed blocks, with runs along a band already joined.
  std::vector<Rect> found;
  for (int by = r.tl.y; by < r.br.y; by += blockSize) {
    const Rect band(r.tl.x, by, r.br.x, std::min(r.br.y, by + blockSize));
    int copyStride = 0, srcStride = 0;
    uint8_t* copyBand = copy_.getPixelsRW(band, &copyStride);
    const uint8_t* srcBand = pb->getPixelsR(band, &srcStride);
    const size_t copyStep = size_t(copyStride) * bpp;
    const size_t srcStep = size_t(srcStride) * bpp;
    const int rows = band.height();
    std::optional<Rect> lastAdded;

    for (int bx = band.tl.x; bx < band.br.x; bx += blockSize) {
      const Rect block(bx, band.tl.y, std::min(band.br.x, bx + blockSize), band.br.y);
      const size_t rowBytes = size_t(block.width()) * bpp;
      uint8_t* c = copyBand + size_t(bx - band.tl.x) * bpp;
      const uint8_t* s = srcBand + size_t(bx - band.tl.x) * bpp;

      int firstDiff = 0;
      while (firstDiff < rows && rowsEqual(c + firstDiff * copyStep, s + firstDiff * srcStep, rowBytes))
        firstDiff++;

      bool add = false;
      if (firstDiff < rows) {
        // Rows above the first difference are equal already.
        for (int y = firstDiff; y < rows; y++)
          std::memcpy(c + y * copyStep, s + y * srcStep, rowBytes);
        add = true;
      } else if (simpleRegions && lastAdded && lastAdded->br.x == block.tl.x) {
        add = isSolid(c, copyStep, block.width(), rows, bpp);
      }
      if (!add)
        continue;
      if (lastAdded && lastAdded->br.x == block.tl.x)
        found.back().br.x = block.br.x;
      else
        found.push_back(block);
      lastAdded = block;
    }
  }
  if (!found.empty())
    changed->assign_union(Region(found));
}

} // namespace rfb
