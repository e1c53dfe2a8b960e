#pragma once

// A colour map whose entries can be set.

#include "base/rfb/ColourMap.h"

namespace rfb {

class ColourMapRW : public ColourMap {
public:
  // An index outside the map is ignored.
  virtual void setColour(int index, const Colour& colour) = 0;

  // Sets entries 0..other.size()-1 from `other`; entries beyond stay as they are.
  void copyFrom(const ColourMap& other);
};

} // namespace rfb
