#include "base/rdr/BufferedLazyOutStream.h"

namespace rdr {

BufferedLazyOutStream::BufferedLazyOutStream(int bufferSize, int maxSize)
  : BufferedNBOutStream(bufferSize, maxSize) {}

void BufferedLazyOutStream::flush() {
  // A blocking flush must leave nothing behind, lazy or not.
  if (!lazy_ || !isNonBlocking()) {
    BufferedNBOutStream::flush();
    return;
  }
  pendingChanged(false);
}

} // namespace rdr
