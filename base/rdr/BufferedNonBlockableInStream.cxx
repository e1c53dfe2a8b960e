#include "base/rdr/BufferedNonBlockableInStream.h"

namespace rdr {

BufferedNonBlockableInStream::BufferedNonBlockableInStream(int bufferSize, bool rewindOnBlock)
  : BufferedInStream(bufferSize, rewindOnBlock), rewindOnBlockAtStart_(rewindOnBlock) {}

void BufferedNonBlockableInStream::setNonBlocking(bool flag) {
  nonBlocking_ = flag;
  checkpoint();
  setRewindOnBlock(flag || rewindOnBlockAtStart_);
}

} // namespace rdr
