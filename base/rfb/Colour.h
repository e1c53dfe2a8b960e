#pragma once

// One colour as pixel formats and colour maps exchange it: red, green, blue
// and alpha, each 0..255. Values above 255 can arise from arithmetic on
// non-premultiplied data; pixel encoders clamp them.

#include <cstdint>

namespace rfb {

struct Colour {
  uint32_t r = 0;
  uint32_t g = 0;
  uint32_t b = 0;
  uint32_t a = 255;

  bool operator==(const Colour&) const = default;
};

} // namespace rfb
