#include "base/rdr/OutStreamV4.h"

#include "base/plat/Assert.h"

namespace rdr {

OutStreamV4::OutStreamV4(OutStream* underlying)
  : FramedOutStream(underlying, maxFrameData, headerSize) {}

void OutStreamV4::writeHeader(size_t length, bool last, bool) {
  PLAT_ASSERT(length <= maxFrameData);
  underlying().writeU16(uint16_t(length | (last ? lastFrameBit : 0)));
}

} // namespace rdr
