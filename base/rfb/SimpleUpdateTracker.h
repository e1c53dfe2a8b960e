#pragma once

// Accumulates changes into one update: a single copy (copied region and its
// offset) plus a changed region.
//
// Meaning of the state, for the image `old` at the last reset and the screen
// `now`: applying the copy to `old` (every pixel p of copied takes old[p -
// copyOffset], all read before any is written) and then taking the pixels of
// changed from `now` reproduces `now`. The pending copy is the latest copy,
// not yet folded in: it applies after the committed state, reading from the
// image that the committed state describes. Pixels of changed that a copy
// moves are added at their new place as well, so the invariant survives every
// operation; where two copies cannot be expressed as one, one of them turns
// into changed pixels.

#include "base/rfb/Point.h"
#include "base/rfb/Region.h"
#include "base/rfb/UpdateTracker.h"

namespace rfb {

class SimpleUpdateTracker : public UpdateTracker {
public:
  SimpleUpdateTracker();
  ~SimpleUpdateTracker() override;

  void addCopied(const Region& region, const Point& offset) override;
  void addChanged(const Region& region) override;

  // Folds the pending copy into the committed copy and changed region.
  void mergePendingCopy();

  // Committed state; the pending copy is not included until merged.
  const Region& getCopied() const { return copied_; }
  const Point& getCopyOffset() const { return copyOffset_; }
  const Region& getChanged() const { return changed_; }
  const Region& getPendingCopy() const { return pendingCopy_; }
  const Point& getPendingOffset() const { return pendingOffset_; }

  // Nothing committed and nothing pending.
  bool isEmpty() const;
  // Forgets everything: empty regions, zero offsets.
  void clear();

private:
  // changed := changed + ((source & changed) moved by offset): pixels due to
  // be sent that a copy carries along must be sent where they land too.
  void moveChangedWithCopy(const Region& source, const Point& offset);

  Region copied_;
  Point copyOffset_;
  Region changed_;
  Region pendingCopy_;
  Point pendingOffset_;
};

} // namespace rfb
