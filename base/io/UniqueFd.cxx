#include "base/io/UniqueFd.h"

#include <unistd.h>

namespace io {

void UniqueFd::reset(int fd) {
  int old = std::exchange(fd_, fd);
  // close() is not retried on EINTR: on Linux the descriptor is gone anyway,
  // and a retry could close one that another thread has just been given.
  if (old >= 0)
    ::close(old);
}

} // namespace io
