#include "testsupport/XServer.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point end) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
  return left < 0 ? 0 : int(left);
}

// In the child, which may only make async-signal-safe calls (the test may
// have threads): the server's output goes to the output file, and the
// server dies with the test process, so that a crashed test leaves no
// server behind.
[[noreturn]] void execServer(char* const* argv, int displayFd, const char* outputPath,
                             pid_t parent) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent)
    _exit(127);
  int out = open(outputPath, O_WRONLY | O_CREAT | O_APPEND, 0600);
  int null = open("/dev/null", O_RDONLY);
  if (out < 0 || null < 0)
    _exit(127);
  dup2(null, STDIN_FILENO);
  dup2(out, STDOUT_FILENO);
  dup2(out, STDERR_FILENO);
  fcntl(displayFd, F_SETFD, 0);
  execvp(argv[0], argv);
  const char* why[] = {"cannot run ", argv[0], ": ", std::strerror(errno), "\n"};
  for (const char* text : why) {
    ssize_t ignored = write(STDERR_FILENO, text, std::strlen(text));
    (void)ignored;
  }
  _exit(127);
}

// True when the server completes an X connection set-up on `path`. A full
// set-up, not a bare connect: some Xvfb builds crash when a client goes away
// before its set-up (seen with XFIXES disabled).
bool acceptsClients(const std::string& path, Clock::time_point end) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof(address.sun_path) - 1);
  // Little-endian set-up request for protocol 11.0 without authorisation.
  const unsigned char setup[12] = {'l', 0, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  unsigned char status = 0;
  pollfd pfd = {fd, POLLIN, 0};
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
            send(fd, setup, sizeof(setup), MSG_NOSIGNAL) == sizeof(setup) &&
            poll(&pfd, 1, remainingMs(end)) == 1 && recv(fd, &status, 1, 0) == 1 && status == 1;
  close(fd);
  return ok;
}

} // namespace

XServer::~XServer() {
  stop();
}

void XServer::start(std::vector<std::string> args, std::chrono::milliseconds deadline) {
  program_ = args.at(0);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0)
    fail(std::string("pipe2: ") + std::strerror(errno));
  args.insert(args.end(), {"-displayfd", std::to_string(fds[1])});
  std::vector<char*> argv;
  for (std::string& arg : args)
    argv.push_back(arg.data());
  argv.push_back(nullptr);
  const std::string outputPath = dir() + "/output.txt";
  pid_t parent = getpid();
  pid_ = fork();
  if (pid_ == 0)
    execServer(argv.data(), fds[1], outputPath.c_str(), parent);
  int forkErrno = errno;
  close(fds[1]);
  Clock::time_point end = Clock::now() + deadline;
  std::string text;
  char buffer[64];
  while (pid_ > 0 && text.find('\n') == std::string::npos && Clock::now() < end) {
    pollfd pfd = {fds[0], POLLIN, 0};
    ssize_t n = poll(&pfd, 1, remainingMs(end)) == 1 ? read(fds[0], buffer, sizeof(buffer)) : -1;
    if (n == 0)
      break;
    text.append(buffer, size_t(std::max<ssize_t>(n, 0)));
  }
  close(fds[0]);
  if (pid_ < 0)
    fail(std::string("fork: ") + std::strerror(forkErrno));
  char* rest = nullptr;
  number_ = int(std::strtol(text.c_str(), &rest, 10));
  if (text.find('\n') == std::string::npos || rest == text.c_str() || number_ < 0)
    fail(program_ + " did not report its display number: '" + text + "'");
  displayName_ = ":" + std::to_string(number_);
  // The number is written once the server listens; a connection set-up
  // proves it serves.
  std::string socketPath = "/tmp/.X11-unix/X" + std::to_string(number_);
  while (!acceptsClients(socketPath, end)) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      fail(program_ + " ended before accepting connections");
    }
    if (Clock::now() >= end)
      fail(program_ + " did not accept connections in time on " + socketPath);
    poll(nullptr, 0, 10);
  }
}

void XServer::fail(const std::string& why) {
  // What the server wrote: its output and its own log file.
  std::string output = readFile(dir() + "/output.txt") + readFile(dir() + "/server.log");
  stop();
  throw std::runtime_error(why + "\n--- " + program_ + " output ---\n" + output);
}

void XServer::exportDisplay() const {
  setenv("DISPLAY", displayName_.c_str(), 1);
}

void XServer::stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    // Servers exit promptly on SIGTERM; a hung one is killed outright.
    Clock::time_point end = Clock::now() + std::chrono::seconds(20);
    while (waitpid(pid_, nullptr, WNOHANG) == 0) {
      if (Clock::now() >= end) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        break;
      }
      poll(nullptr, 0, 10);
    }
    pid_ = -1;
  }
}

} // namespace testsupport
