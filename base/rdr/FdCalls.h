#pragma once

// Descriptor calls shared by the descriptor streams.

#include <cstddef>
#include <cstdint>

namespace rdr {

// Returns once fd is readable (or writable with forWrite). timeoutMs < 0
// waits without limit; an interrupted wait goes on with the time that is
// left. Throws plat::TimedOut when the time runs out, plat::SystemException
// "select" on failure, with EMFILE for descriptors that select() cannot watch
// (FD_SETSIZE and above).
void waitForFd(int fd, bool forWrite, int timeoutMs);

// One read() of at most max bytes, retried when interrupted. Returns the
// count, or 0 when nothing is available now (EAGAIN). Throws rdr::EndOfStream
// ("End of IO stream") at the end and plat::SystemException "read" on errors.
size_t readFd(int fd, uint8_t* buffer, size_t max);

} // namespace rdr
