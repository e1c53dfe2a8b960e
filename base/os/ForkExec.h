#pragma once

// Starts a program with fork and execve and tells the caller whether the
// exec worked: the child writes execve's errno to a close-on-exec pipe,
// which a successful exec closes unwritten.

#include <sys/types.h>

namespace os {

class ForkExec {
public:
  // Everything is prepared by the caller: after fork the child may only make
  // async-signal-safe calls. `prepare(context)` runs in the child just
  // before execve. Returns the child's pid. Throws plat::SystemException
  // "fork", or `what` with execve's errno once the failed child is reaped.
  static pid_t start(const char* path, char* const argv[], char* const envp[],
                     void (*prepare)(void* context), void* context, const char* what);
  // For `prepare`: marks every descriptor from 3 on close-on-exec, so that
  // the program inherits only its standard ones. Async-signal-safe.
  static void markDescriptorsCloseOnExec();
};

} // namespace os
