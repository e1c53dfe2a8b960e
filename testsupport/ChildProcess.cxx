#include "testsupport/ChildProcess.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

// A pipe whose ends close themselves.
struct Pipe {
  int read = -1;
  int write = -1;
  Pipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) == 0) {
      read = fds[0];
      write = fds[1];
    }
  }
  ~Pipe() {
    closeRead();
    closeWrite();
  }
  bool ok() const { return read >= 0 && write >= 0; }
  void closeRead() {
    if (read >= 0)
      close(read);
    read = -1;
  }
  void closeWrite() {
    if (write >= 0)
      close(write);
    write = -1;
  }
};

// The child's environment: the test's own, with `overrides` replacing or
// adding entries. Built before fork(), since the child may not allocate.
std::vector<std::string> childEnvironment(
    const std::vector<std::pair<std::string, std::string>>& overrides) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry; entry++) {
    std::string text = *entry;
    std::string name = text.substr(0, text.find('='));
    bool replaced = false;
    for (const auto& [overrideName, value] : overrides)
      replaced = replaced || overrideName == name;
    if (!replaced)
      entries.push_back(text);
  }
  for (const auto& [name, value] : overrides)
    entries.push_back(name + "=" + value);
  return entries;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> result;
  for (std::string& text : texts)
    result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

// Async-signal-safe calls only: the test may have threads.
[[noreturn]] void execChild(char* const* argv, char* const* envp, Pipe& in, Pipe& out, Pipe& err,
                            Pipe& execError) {
  dup2(in.read, STDIN_FILENO);
  dup2(out.write, STDOUT_FILENO);
  dup2(err.write, STDERR_FILENO);
  execvpe(argv[0], argv, envp);
  // The pipe closes on a successful exec; anything read from it is a failure.
  int error = errno;
  ssize_t ignored = ::write(execError.write, &error, sizeof(error));
  (void)ignored;
  _exit(127);
}

// True when the child got as far as running the program.
bool execSucceeded(Pipe& execError) {
  execError.closeWrite();
  int error = 0;
  ssize_t n;
  while ((n = ::read(execError.read, &error, sizeof(error))) < 0 && errno == EINTR) {
  }
  return n == 0;
}

// Waits for the child to end, killing it at the deadline.
int reap(pid_t pid, Clock::time_point end, ChildResult& result) {
  int status = 0;
  for (;;) {
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR))
      return status;
    if (Clock::now() >= end && !result.timedOut) {
      result.timedOut = true;
      kill(pid, SIGKILL);
    }
    // The child has closed its outputs already; it is about to exit.
    usleep(1000);
  }
}

int remainingMs(Clock::time_point end) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
  return left < 0 ? 0 : int(left);
}

// Feeds the input and drains both outputs until the child closes them or the
// deadline passes; false on the deadline.
bool pump(Pipe& in, Pipe& out, Pipe& err, const std::string& input, ChildResult& result,
          Clock::time_point end) {
  size_t written = 0;
  if (input.empty())
    in.closeWrite();
  while (out.read >= 0 || err.read >= 0) {
    pollfd fds[3] = {{in.write, POLLOUT, 0}, {out.read, POLLIN, 0}, {err.read, POLLIN, 0}};
    int ready = poll(fds, 3, remainingMs(end));
    if (ready < 0 && errno == EINTR)
      continue;
    if (ready <= 0)
      return false;
    if (fds[0].revents) {
      ssize_t n = write(in.write, input.data() + written, input.size() - written);
      if (n > 0)
        written += size_t(n);
      bool failed = n < 0 && errno != EAGAIN && errno != EINTR;
      if (failed || written == input.size())
        in.closeWrite();
    }
    char buffer[4096];
    if (fds[1].revents) {
      ssize_t n = ::read(out.read, buffer, sizeof(buffer));
      if (n > 0)
        result.out.append(buffer, size_t(n));
      else
        out.closeRead();
    }
    if (fds[2].revents) {
      ssize_t n = ::read(err.read, buffer, sizeof(buffer));
      if (n > 0)
        result.err.append(buffer, size_t(n));
      else
        err.closeRead();
    }
  }
  return true;
}

void recordStatus(int status, ChildResult& result) {
  if (WIFEXITED(status)) {
    result.exited = true;
    result.exitStatus = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.termSignal = WTERMSIG(status);
  }
}

} // namespace

ChildResult ChildProcess::run(const std::vector<std::string>& argv,
                              const std::vector<std::pair<std::string, std::string>>& environment,
                              const std::string& input, std::chrono::milliseconds deadline) {
  ChildResult result;
  if (argv.empty())
    return result;
  Pipe in, out, err, execError;
  if (!in.ok() || !out.ok() || !err.ok() || !execError.ok())
    return result;
  // A child that closed its input early must not kill the test.
  signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> args = argv;
  std::vector<char*> argPointers = pointers(args);
  std::vector<std::string> envs = childEnvironment(environment);
  std::vector<char*> envPointers = pointers(envs);
  pid_t pid = fork();
  if (pid < 0)
    return result;
  if (pid == 0)
    execChild(argPointers.data(), envPointers.data(), in, out, err, execError);

  in.closeRead();
  out.closeWrite();
  err.closeWrite();
  // Writes must not block while the child waits for us to read its output.
  fcntl(in.write, F_SETFL, fcntl(in.write, F_GETFL) | O_NONBLOCK);
  result.started = execSucceeded(execError);
  Clock::time_point end = Clock::now() + deadline;
  if (!pump(in, out, err, input, result, end)) {
    result.timedOut = true;
    kill(pid, SIGKILL);
  }
  recordStatus(reap(pid, end, result), result);
  return result;
}

} // namespace testsupport
