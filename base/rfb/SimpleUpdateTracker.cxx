#include "base/rfb/SimpleUpdateTracker.h"

namespace rfb {

SimpleUpdateTracker::SimpleUpdateTracker() = default;

SimpleUpdateTracker::~SimpleUpdateTracker() = default;

void SimpleUpdateTracker::addChanged(const Region& region) {
  if (region.isEmpty())
    return;
  // The pending copy happened before this change; folding it in first keeps
  // the change from being carried along by it.
  mergePendingCopy();
  changed_.assign_union(region);
}

void SimpleUpdateTracker::addCopied(const Region& region, const Point& offset) {
  if (region.isEmpty())
    return;
  if (!pendingCopy_.isEmpty() && offset == pendingOffset_) {
    // With the same offset, and a source that the pending copy has not
    // written, doing both copies at once gives the same pixels as one after
    // the other (a window dragged in steps that do not overlap themselves).
    Region source = region;
    source.translate(offset.negate());
    if (source.intersect(pendingCopy_).isEmpty()) {
      pendingCopy_.assign_union(region);
      return;
    }
  }
  mergePendingCopy();
  pendingCopy_ = region;
  pendingOffset_ = offset;
}

void SimpleUpdateTracker::mergePendingCopy() {
  if (pendingCopy_.isEmpty())
    return;

  Region source = pendingCopy_;
  source.translate(pendingOffset_.negate());
  const Region overlap = source.intersect(copied_);

  if (overlap.isEmpty()) {
    if (pendingCopy_.get_bounding_rect().area() < copied_.get_bounding_rect().area()) {
      // Keep the bigger copy; the smaller one goes as plain pixels.
      changed_.assign_union(pendingCopy_);
    } else {
      moveChangedWithCopy(source, pendingOffset_);
      changed_.assign_union(copied_);
      copied_ = pendingCopy_;
      copyOffset_ = pendingOffset_;
    }
  } else {
    // A copy of a copy: the part that reads what the committed copy wrote
    // becomes one copy straight from the first source; everything else
    // either copy wrote goes as plain pixels.
    moveChangedWithCopy(overlap, pendingOffset_);
    Region dest = overlap;
    dest.translate(pendingOffset_);
    changed_.assign_union(pendingCopy_.unite(copied_).subtract(dest));
    copied_ = std::move(dest);
    copyOffset_ = copyOffset_ + pendingOffset_;
  }

  pendingCopy_.clear();
  pendingOffset_ = Point();
}

void SimpleUpdateTracker::moveChangedWithCopy(const Region& source, const Point& offset) {
  Region moved = source.intersect(changed_);
  if (moved.isEmpty())
    return;
  moved.translate(offset);
  changed_.assign_union(moved);
}

bool SimpleUpdateTracker::isEmpty() const {
  return copied_.isEmpty() && changed_.isEmpty() && pendingCopy_.isEmpty();
}

void SimpleUpdateTracker::clear() {
  copied_.clear();
  copyOffset_ = Point();
  changed_.clear();
  pendingCopy_.clear();
  pendingOffset_ = Point();
}

} // namespace rfb
