#include "base/rfb/ColourMapRW.h"

namespace rfb {

void ColourMapRW::copyFrom(const ColourMap& other) {
  const int count = other.size();
  for (int i = 0; i < count; i++) {
    Colour colour;
    other.getColour(i, &colour);
    setColour(i, colour);
  }
}

} // namespace rfb
