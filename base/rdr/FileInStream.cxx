#include "base/rdr/FileInStream.h"

#include "base/plat/Exception.h"
#include "base/plat/Format.h"
#include "base/rdr/FdCalls.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace rdr {

FileInStream::FileInStream(const std::string& path, int bufferSize)
  : BufferedInStream(bufferSize), fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
  if (fd_ < 0)
    throw plat::SystemException(plat::format("open(%s)", path.c_str()), errno);
}

FileInStream::~FileInStream() {
  ::close(fd_);
}

size_t FileInStream::readSome(uint8_t* buffer, size_t max) {
  // Regular files never report EAGAIN, so 0 only comes from odd descriptors
  // (a FIFO path): those are read like any blocking descriptor.
  for (;;) {
    size_t n = readFd(fd_, buffer, max);
    if (n > 0)
      return n;
    waitForFd(fd_, false, -1);
  }
}

} // namespace rdr
