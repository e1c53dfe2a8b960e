#include "testsupport/ChildProcess.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <tuple>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

// The child's environment: the test's own, with `overrides` replacing or
// adding entries.
std::vector<std::string> childEnvironment(
    const std::vector<std::pair<std::string, std::string>>& overrides) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry; entry++) {
    std::string text = *entry;
    bool replaced = false;
    for (const auto& [name, value] : overrides)
      replaced = replaced || text.rfind(name + "=", 0) == 0;
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

void closeFd(int& fd) {
  if (fd >= 0)
    close(fd);
  fd = -1;
}

} // namespace

ChildResult ChildProcess::run(const std::vector<std::string>& argv,
                              const std::vector<std::pair<std::string, std::string>>& environment,
                              const std::string& input, std::chrono::milliseconds deadline) {
  ChildResult result;
  int in[2], out[2], err[2];
  if (argv.empty() || pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
    return result;
  // A child that closed its input early must not kill the test.
  signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> args = argv;
  std::vector<std::string> envs = childEnvironment(environment);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  pid_t pid = -1;
  // Fails (and reaps the child) when the program cannot be run.
  result.started = posix_spawnp(&pid, args[0].c_str(), &actions, nullptr, pointers(args).data(),
                                pointers(envs).data()) == 0;
  posix_spawn_file_actions_destroy(&actions);
  closeFd(in[0]);
  closeFd(out[1]);
  closeFd(err[1]);
  // Writes must not block while the child waits for us to read its output.
  fcntl(in[1], F_SETFL, O_NONBLOCK);
  if (!result.started || input.empty())
    closeFd(in[1]);

  // Feeds the input and drains both outputs until the child closes them.
  Clock::time_point end = Clock::now() + deadline;
  size_t written = 0;
  while (out[0] >= 0 || err[0] >= 0) {
    pollfd fds[3] = {{in[1], POLLOUT, 0}, {out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    int ready = poll(fds, 3, int(std::max<long>(0, left.count())));
    if (ready < 0 && errno == EINTR)
      continue;
    if (ready <= 0) {
      kill(pid, SIGKILL);
      break;
    }
    if (fds[0].revents) {
      ssize_t n = write(in[1], input.data() + written, input.size() - written);
      written += n > 0 ? size_t(n) : 0;
      if ((n < 0 && errno != EAGAIN && errno != EINTR) || written == input.size())
        closeFd(in[1]);
    }
    char buffer[4096];
    using Output = std::tuple<int, int*, std::string*>;
    for (auto [index, fd, text] : {Output{1, &out[0], &result.out}, Output{2, &err[0], &result.err}}) {
      if (!fds[index].revents)
        continue;
      ssize_t n = read(*fd, buffer, sizeof(buffer));
      if (n > 0)
        text->append(buffer, size_t(n));
      else
        closeFd(*fd);
    }
  }
  for (int* fd : {&in[1], &out[0], &err[0]})
    closeFd(*fd);
  int status = 0;
  while (result.started && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exited = result.started && WIFEXITED(status);
  result.exitStatus = result.exited ? WEXITSTATUS(status) : -1;
  return result;
}

} // namespace testsupport
