#include "kwo-serve/ChildProgram.h"

#include "base/os/ForkExec.h"
#include "base/plat/Exception.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/prctl.h>
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

struct ChildSetup {
  pid_t parent;
  int outputFd;
  bool quiet;
};

// In the child between fork and exec: only async-signal-safe calls.
void becomeChild(void* context) {
  const ChildSetup& setup = *static_cast<const ChildSetup*>(context);
  // Dies with kwo-serve, even when it is killed; the check catches a parent
  // that died before the signal was armed.
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != setup.parent)
    _exit(127);
  int null = open("/dev/null", O_RDWR);
  dup2(null, 0);
  if (setup.outputFd >= 0)
    dup2(setup.outputFd, 1);
  if (setup.quiet)
    dup2(null, 2);
  // Listening sockets, the agent's connection, and anything a library opened
  // without close-on-exec stay with us.
  os::ForkExec::markDescriptorsCloseOnExec();
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
    signal(sig, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

} // namespace

ChildProgram::ChildProgram(const std::vector<std::string>& argv, int outputFd,
                           const std::vector<std::pair<std::string, std::string>>& environment,
                           bool quiet)
    : name_(argv.at(0)) {
  std::vector<std::string> args = argv;
  std::string path = findInPath(name_);
  if (path.empty())
    throw plat::SystemException(("cannot start " + name_).c_str(), ENOENT);
  std::vector<std::string> env = mergedEnvironment(environment);
  // Everything the child needs is prepared before fork.
  std::vector<char*> argp = pointers(args);
  std::vector<char*> envp = pointers(env);
  ChildSetup setup{getpid(), outputFd, quiet};
  pid_ = os::ForkExec::start(path.c_str(), argp.data(), envp.data(), becomeChild, &setup,
                             ("cannot start " + name_).c_str());
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

std::string ChildProgram::findInPath(const std::string& program) {
  if (program.find('/') != std::string::npos)
    return access(program.c_str(), X_OK) == 0 ? program : std::string();
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos)
      end = dirs.size();
    std::string candidate = dirs.substr(start, end - start) + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0)
      return candidate;
    start = end + 1;
  }
  return {};
}

} // namespace kwoserve
