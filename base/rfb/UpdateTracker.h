#pragma once

// Something that is told how the screen changed: areas whose pixels changed,
// and areas moved on screen (copies).

#include "base/rfb/Point.h"

namespace rfb {

class Region;

class UpdateTracker {
public:
  virtual ~UpdateTracker();

  // `region` is the destination of a copy whose source is region - offset
  // (destination = source + offset). An empty region is ignored.
  virtual void addCopied(const Region& region, const Point& offset) = 0;
  // The pixels of `region` changed. An empty region is ignored.
  virtual void addChanged(const Region& region) = 0;
};

} // namespace rfb
