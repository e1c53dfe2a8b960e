#pragma once

// A palette for colour-map pixel formats: index -> 8-bit RGBA colour.
// Implementations own their entries; pixel buffers and formats only point at
// a map and never free it.

#include "base/rfb/Colour.h"

namespace rfb {

class ColourMap {
public:
  virtual ~ColourMap();

  // Writes the colour at `index` into *colour; an index outside 0..size()-1
  // leaves *colour untouched.
  virtual void getColour(int index, Colour* colour) const = 0;
  virtual int size() const = 0;

  // The index whose colour is nearest to `colour` (squared RGB distance,
  // alpha ignored); ties go to the lowest index; an empty map answers 0.
  virtual int lookupClosest(const Colour& colour) const;

  // Whether the entries carry meaningful alpha. Every map in this program is
  // opaque, so colour-map pixels always decode with alpha 255.
  virtual bool hasAlpha() const;
};

} // namespace rfb
