#include "base/rfb/RgnRect.h"

#include "base/rfb/Rect.h"

namespace rfb {

RgnRect::RgnRect(const Rect& rect)
  : x1(clamp(rect.tl.x)), y1(clamp(rect.tl.y)), x2(clamp(rect.br.x)), y2(clamp(rect.br.y)) {}

} // namespace rfb
