#include "base/rfb/ColourMap.h"

#include <cstdint>

namespace rfb {

ColourMap::~ColourMap() = default;

int ColourMap::lookupClosest(const Colour& colour) const {
  int best = 0;
  // 64-bit distances: colours built by arithmetic may exceed 255 per channel.
  int64_t bestDistance = 2147483647;
  const int count = size();
  for (int i = 0; i < count; i++) {
    Colour entry;
    getColour(i, &entry);
    int64_t dr = int64_t(entry.r) - colour.r;
    int64_t dg = int64_t(entry.g) - colour.g;
    int64_t db = int64_t(entry.b) - colour.b;
    int64_t distance = dr * dr + dg * dg + db * db;
    if (distance < bestDistance) {
      bestDistance = distance;
      best = i;
    }
  }
  return best;
}

bool ColourMap::hasAlpha() const { return false; }

} // namespace rfb
