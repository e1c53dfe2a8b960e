#include "kwo-serve/ChildProgram.h"

#include "base/plat/Exception.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace kwoserve {

namespace {

std::vector<std::string> mergedEnvironment(
    const std::vector<std::pair<std::string, std::string>>& extra) {
  std::vector<std::string> result;
  for (char** e = environ; *e; e++) {
    std::string entry = *e;
    bool replaced = false;
    for (const auto& [name, value] : extra)
      replaced = replaced || entry.compare(0, name.size() + 1, name + "=") == 0;
    if (!replaced)
      result.push_back(entry);
  }
  for (const auto& [name, value] : extra)
    result.push_back(name + "=" + value);
  return result;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (std::string& s : strings)
    result.push_back(s.data());
  result.push_back(nullptr);
  return result;
}

// Owners of posix_spawn's attribute objects.
struct SpawnActions {
  posix_spawn_file_actions_t actions;
  SpawnActions() { posix_spawn_file_actions_init(&actions); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
};
struct SpawnAttributes {
  posix_spawnattr_t attr;
  SpawnAttributes() { posix_spawnattr_init(&attr); }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attr); }
};

} // namespace

ChildProgram::ChildProgram(const std::vector<std::string>& argv, int outputFd,
                           const std::vector<std::pair<std::string, std::string>>& environment,
                           bool quiet)
    : name_(argv.at(0)) {
  std::vector<std::string> args = argv;
  std::vector<std::string> env = mergedEnvironment(environment);
  std::vector<char*> argp = pointers(args);
  std::vector<char*> envp = pointers(env);

  SpawnActions actions;
  posix_spawn_file_actions_addopen(&actions.actions, 0, "/dev/null", O_RDONLY, 0);
  if (outputFd >= 0)
    posix_spawn_file_actions_adddup2(&actions.actions, outputFd, 1);
  if (quiet)
    posix_spawn_file_actions_addopen(&actions.actions, 2, "/dev/null", O_WRONLY, 0);
  SpawnAttributes attributes;
  sigset_t none;
  sigemptyset(&none);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&attributes.attr, &none);
  posix_spawnattr_setsigdefault(&attributes.attr, &defaults);
  posix_spawnattr_setflags(&attributes.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  int err = posix_spawnp(&pid_, argp[0], &actions.actions, &attributes.attr, argp.data(),
                         envp.data());
  if (err != 0) {
    pid_ = -1;
    throw plat::SystemException(("posix_spawn " + name_).c_str(), err);
  }
}

ChildProgram::~ChildProgram() { stop(); }

bool ChildProgram::running() {
  if (pid_ < 0)
    return false;
  int status;
  pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == 0)
    return true;
  pid_ = -1;
  return false;
}

void ChildProgram::stop(int graceMs) {
  if (!running())
    return;
  kill(pid_, SIGTERM);
  for (int waited = 0; waited < graceMs; waited += 10) {
    if (!running())
      return;
    timespec pause{0, 10 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  kill(pid_, SIGKILL);
  int status;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

bool ChildProgram::available(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos)
      end = dirs.size();
    std::string candidate = dirs.substr(start, end - start) + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0)
      return true;
    start = end + 1;
  }
  return false;
}

} // namespace kwoserve
