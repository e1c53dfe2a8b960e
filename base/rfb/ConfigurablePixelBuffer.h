#pragma once

// A full-frame buffer whose format, size and position can change.

#include "base/rfb/FullFramePixelBuffer.h"

namespace rfb {

class ConfigurablePixelBuffer : public FullFramePixelBuffer {
public:
  using FullFramePixelBuffer::FullFramePixelBuffer;

  virtual void setPF(const PixelFormat& pf) = 0;
  // Keeps the top-left corner.
  virtual void setSize(int width, int height) = 0;
  // The map is not owned.
  virtual void setColourMap(ColourMap* colourMap);

  // Moves the rectangle so that its top-left is `tl`; size and pixels stay.
  void setPosition(const Point& tl);
};

} // namespace rfb
