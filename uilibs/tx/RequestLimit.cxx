#include "uilibs/tx/RequestLimit.h"

#include "uilibs/tx/TXUtil.h"

#include "base/plat/Assert.h"

#include <X11/Xlib.h>

namespace tx {

namespace {

// ChangeProperty's fixed part; a big request adds a 4-byte length word.
constexpr size_t changePropertyHeader = 24;
constexpr size_t bigRequestLengthWord = 4;

} // namespace

size_t maxPropertyBytes(long extendedMaxUnits, long maxUnits) {
  size_t header = changePropertyHeader;
  long units = maxUnits;
  if (extendedMaxUnits > 0) {
    units = extendedMaxUnits;
    header += bigRequestLengthWord;
  }
  size_t bytes = size_t(units > 0 ? units : 0) * 4;
  return bytes > header ? bytes - header : 0;
}

size_t maxPropertyBytes() {
  Display* dpy = display();
  PLAT_ASSERT(dpy != nullptr);
  return maxPropertyBytes(XExtendedMaxRequestSize(dpy), XMaxRequestSize(dpy));
}

} // namespace tx
