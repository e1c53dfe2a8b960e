#include "base/rfb/Rect.h"

#include "base/plat/Format.h"

namespace rfb {

std::string Rect::print() const {
  return plat::format("%d,%d to %d,%d", tl.x, tl.y, br.x, br.y);
}

std::string Rect::printWH() const {
  return plat::format("%dx%d at %d,%d", width(), height(), tl.x, tl.y);
}

} // namespace rfb
