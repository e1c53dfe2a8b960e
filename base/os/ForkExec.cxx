#include "base/os/ForkExec.h"

#include "base/plat/Exception.h"
#include "base/plat/ScopedFd.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace os {

pid_t ForkExec::start(const char* path, char* const argv[], char* const envp[],
                      void (*prepare)(void* context), void* context, const char* what) {
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0)
    throw plat::SystemException("pipe2", errno);
  plat::ScopedFd reportRead(report[0]);
  plat::ScopedFd reportWrite(report[1]);

  pid_t pid = fork();
  if (pid < 0)
    throw plat::SystemException("fork", errno);
  if (pid == 0) {
    if (prepare)
      prepare(context);
    execve(path, argv, envp);
    int err = errno;
    (void)!write(reportWrite.get(), &err, sizeof err);
    _exit(127);
  }
  reportWrite.reset();

  int err = 0;
  ssize_t n;
  do {
    n = read(reportRead.get(), &err, sizeof err);
  } while (n < 0 && errno == EINTR);
  if (n == ssize_t(sizeof err)) {
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    throw plat::SystemException(what, err);
  }
  return pid;
}

void ForkExec::markDescriptorsCloseOnExec() {
#ifdef SYS_close_range
  if (syscall(SYS_close_range, 3U, ~0U, 4U /* CLOSE_RANGE_CLOEXEC */) == 0)
    return;
#endif
  long max = sysconf(_SC_OPEN_MAX);
  if (max < 0 || max > 65536)
    max = 65536;
  for (int fd = 3; fd < max; fd++)
    fcntl(fd, F_SETFD, FD_CLOEXEC);
}

} // namespace os
