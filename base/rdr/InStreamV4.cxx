#include "base/rdr/InStreamV4.h"

#include "base/rdr/BlockException.h"
#include "base/rdr/OutStreamV4.h"

namespace rdr {

InStreamV4::InStreamV4(InStream* underlying) : FramedInStream(underlying) {}

bool InStreamV4::readHeader(int32_t& remaining, bool& last, bool wait) {
  uint16_t header;
  try {
    header = underlying().readU16();
  } catch (const BlockException&) {
    if (wait)
      throw;
    return false;
  }
  remaining = header & ~OutStreamV4::lastFrameBit;
  last = (header & OutStreamV4::lastFrameBit) != 0;
  return true;
}

} // namespace rdr
