#include "testsupport/XvfbServer.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
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

std::vector<std::string> arguments(const XvfbServer::Options& options, int displayFd) {
  std::vector<std::string> args = {
    "Xvfb",
    "-displayfd", std::to_string(displayFd),
    "-screen", "0",
    std::to_string(options.width) + "x" + std::to_string(options.height) + "x" +
      std::to_string(options.depth),
    "-nolisten", "tcp",
    "-noreset",
  };
  for (const std::string& extension : options.disabledExtensions) {
    args.push_back("-extension");
    args.push_back(extension);
  }
  args.insert(args.end(), options.extraArguments.begin(), options.extraArguments.end());
  return args;
}

void writeText(int fd, const char* text) {
  ssize_t ignored = write(fd, text, std::strlen(text));
  (void)ignored;
}

// In the child, which may only make async-signal-safe calls (the test may
// have threads): the server's output goes to the log file, and the server
// dies with the test process, so that a crashed test leaves no server behind
// holding its output pipes open.
[[noreturn]] void execServer(char* const* argv, int displayFd, const char* logPath,
                             pid_t parent) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent)
    _exit(127);
  int log = open(logPath, O_WRONLY | O_APPEND);
  int null = open("/dev/null", O_RDONLY);
  if (log < 0 || null < 0)
    _exit(127);
  dup2(null, STDIN_FILENO);
  dup2(log, STDOUT_FILENO);
  dup2(log, STDERR_FILENO);
  int flags = fcntl(displayFd, F_GETFD);
  fcntl(displayFd, F_SETFD, flags & ~FD_CLOEXEC);
  execvp(argv[0], argv);
  writeText(STDERR_FILENO, "cannot run Xvfb: ");
  writeText(STDERR_FILENO, std::strerror(errno));
  writeText(STDERR_FILENO, "\n");
  _exit(127);
}

bool sendAll(int fd, const unsigned char* data, size_t size) {
  while (size > 0) {
    ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    data += n;
    size -= size_t(n);
  }
  return true;
}

// True when the server completes an X connection set-up on `path`. A full
// set-up, not a bare connect: some Xvfb builds crash when a client goes away
// before its set-up (seen with XFIXES disabled).
bool acceptsClients(const std::string& path, Clock::time_point end) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  // Little-endian set-up request for protocol 11.0 without authorisation.
  const unsigned char setup[12] = {'l', 0, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  ok = ok && sendAll(fd, setup, sizeof(setup));
  unsigned char status = 0;
  if (ok) {
    pollfd pfd = {fd, POLLIN, 0};
    ok = poll(&pfd, 1, remainingMs(end)) == 1 && recv(fd, &status, 1, 0) == 1 && status == 1;
  }
  close(fd);
  return ok;
}

} // namespace

XvfbServer::XvfbServer() : XvfbServer(Options{}) {}

XvfbServer::XvfbServer(const Options& options) {
  start(options);
  if (options.exportDisplay)
    exportDisplay();
}

XvfbServer::~XvfbServer() {
  stop();
}

void XvfbServer::start(const Options& options) {
  char logTemplate[] = "/tmp/kwo-xvfb-XXXXXX";
  int log = mkstemp(logTemplate);
  if (log < 0)
    throw std::runtime_error(std::string("mkstemp: ") + std::strerror(errno));
  close(log);
  logPath_ = logTemplate;

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0)
    fail(std::string("pipe: ") + std::strerror(errno));
  std::vector<std::string> args = arguments(options, fds[1]);
  std::vector<char*> argv;
  for (std::string& arg : args)
    argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t parent = getpid();
  pid_ = fork();
  if (pid_ == 0)
    execServer(argv.data(), fds[1], logPath_.c_str(), parent);
  close(fds[1]);
  if (pid_ < 0) {
    close(fds[0]);
    fail(std::string("fork: ") + std::strerror(errno));
  }

  Clock::time_point end = Clock::now() + options.startDeadline;
  try {
    number_ = readDisplayNumber(fds[0], end);
  } catch (...) {
    close(fds[0]);
    throw;
  }
  close(fds[0]);
  displayName_ = ":" + std::to_string(number_);
  waitUntilAccepting(end);
}

int XvfbServer::readDisplayNumber(int fd, Clock::time_point end) {
  std::string text;
  while (text.find('\n') == std::string::npos) {
    pollfd pfd = {fd, POLLIN, 0};
    int ready = poll(&pfd, 1, remainingMs(end));
    if (ready < 0 && errno == EINTR)
      continue;
    if (ready == 0)
      fail("Xvfb did not report its display number in time");
    char buffer[64];
    ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      fail("Xvfb ended before reporting its display number");
    text.append(buffer, size_t(n));
  }
  char* rest = nullptr;
  long number = std::strtol(text.c_str(), &rest, 10);
  if (rest == text.c_str() || number < 0)
    fail("Xvfb reported a bad display number: " + text);
  return int(number);
}

// -displayfd is written once the server listens; a connection set-up
// proves it.
void XvfbServer::waitUntilAccepting(Clock::time_point end) {
  std::string socketPath = "/tmp/.X11-unix/X" + std::to_string(number_);
  while (!acceptsClients(socketPath, end)) {
    if (exitedEarly())
      fail("Xvfb ended before accepting connections");
    if (Clock::now() >= end)
      fail("Xvfb did not accept connections in time on " + socketPath);
    poll(nullptr, 0, 10);
  }
}

bool XvfbServer::exitedEarly() {
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) != pid_)
    return false;
  pid_ = -1;
  return true;
}

void XvfbServer::fail(const std::string& why) {
  std::string output = log();
  stop();
  throw std::runtime_error(why + "\n--- Xvfb output ---\n" + output);
}

void XvfbServer::exportDisplay() const {
  setenv("DISPLAY", displayName_.c_str(), 1);
}

std::string XvfbServer::log() const {
  std::ifstream file(logPath_);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

void XvfbServer::stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    // Xvfb exits promptly on SIGTERM; a hung one is killed outright.
    Clock::time_point end = Clock::now() + std::chrono::seconds(20);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (Clock::now() >= end) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        break;
      }
      poll(nullptr, 0, 10);
    }
    pid_ = -1;
  }
  if (!logPath_.empty()) {
    unlink(logPath_.c_str());
    logPath_.clear();
  }
}

XvfbServer& XvfbServer::shared() {
  static XvfbServer server([] {
    Options options;
    options.exportDisplay = true;
    return options;
  }());
  return server;
}

} // namespace testsupport
