#include "base/rfb/ConfigurablePixelBuffer.h"

namespace rfb {

void ConfigurablePixelBuffer::setColourMap(ColourMap* colourMap) { colourMap_ = colourMap; }

void ConfigurablePixelBuffer::setPosition(const Point& tl) {
  rect_ = rect_.translate(tl - rect_.tl);
}

} // namespace rfb
