#include "base/rdr/BufferedNBOutStream.h"

namespace rdr {

BufferedNBOutStream::BufferedNBOutStream(int bufferSize, int maxSize)
  : BufferedOutStream(bufferSize, maxSize) {}

void BufferedNBOutStream::flush() {
  writePending(!nonBlocking_);
}

} // namespace rdr
