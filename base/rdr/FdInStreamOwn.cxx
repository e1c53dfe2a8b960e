#include "base/rdr/FdInStreamOwn.h"

#include <unistd.h>

namespace rdr {

FdInStreamOwn::FdInStreamOwn(int fd, int timeoutMs, int bufferSize, bool rewindOnBlock)
  : FdInStream(fd, timeoutMs, bufferSize, rewindOnBlock) {}

FdInStreamOwn::~FdInStreamOwn() {
  if (getFd() >= 0)
    ::close(getFd());
}

} // namespace rdr
