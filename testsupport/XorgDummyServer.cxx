#include "testsupport/XorgDummyServer.h"

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
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

std::string readFile(const std::string& path) {
  std::ifstream file(path);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream file(path);
  file << text;
  if (!file.flush())
    throw std::runtime_error("cannot write " + path);
}

std::string monitorSection(size_t index, const XorgDummyServer::Output& output) {
  std::ostringstream s;
  s << "Section \"Monitor\"\n"
    << "  Identifier \"mon" << index << "\"\n"
    // Wide ranges, so that every default mode and every mode a test adds
    // passes the driver's validation.
    << "  HorizSync 5.0 - 1000.0\n"
    << "  VertRefresh 5.0 - 200.0\n"
    << "  Option \"Enable\" \"true\"\n"
    << "  Option \"PreferredMode\" \"" << output.mode << "\"\n"
    << "  Option \"Position\" \"" << output.x << " " << output.y << "\"\n";
  if (index == 0)
    s << "  Option \"Primary\" \"true\"\n";
  s << "EndSection\n";
  return s.str();
}

// Only async-signal-safe calls: the test process may have threads. The
// server dies with the test process so that a crashed test leaves no
// server behind.
[[noreturn]] void runXorg(char* const* argv, int displayFd, const char* outputPath,
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
  const char* why = std::strerror(errno);
  ssize_t ignored = write(STDERR_FILENO, why, std::strlen(why));
  (void)ignored;
  _exit(127);
}

} // namespace

XorgDummyServer::XorgDummyServer() : XorgDummyServer(Options{}) {}

XorgDummyServer::XorgDummyServer(const Options& options) {
  start(options);
  if (options.exportDisplay)
    exportDisplay();
}

XorgDummyServer::~XorgDummyServer() {
  stop();
}

std::string XorgDummyServer::configText(const Options& options) {
  std::ostringstream s;
  s << "Section \"ServerFlags\"\n"
    << "  Option \"AutoAddDevices\" \"false\"\n"
    << "  Option \"AutoAddGPU\" \"false\"\n"
    << "  Option \"DontVTSwitch\" \"true\"\n"
    << "EndSection\n"
    << "Section \"Device\"\n"
    << "  Identifier \"dummy\"\n"
    << "  Driver \"dummy\"\n"
    // In kB: room for the virtual framebuffer and for tests that grow it.
    << "  VideoRam 256000\n";
  for (size_t i = 0; i < options.outputs.size(); i++)
    s << "  Option \"Monitor-DUMMY" << i << "\" \"mon" << i << "\"\n";
  s << "EndSection\n";
  for (size_t i = 0; i < options.outputs.size(); i++)
    s << monitorSection(i, options.outputs[i]);
  s << "Section \"Screen\"\n"
    << "  Identifier \"screen\"\n"
    << "  Device \"dummy\"\n";
  if (!options.outputs.empty())
    s << "  Monitor \"mon0\"\n";
  s << "  DefaultDepth 24\n"
    << "  SubSection \"Display\"\n"
    << "    Depth 24\n"
    << "    Virtual " << options.virtualWidth << " " << options.virtualHeight << "\n"
    << "  EndSubSection\n"
    << "EndSection\n"
    << "Section \"ServerLayout\"\n"
    << "  Identifier \"layout\"\n"
    << "  Screen \"screen\"\n"
    << "EndSection\n";
  return s.str();
}

void XorgDummyServer::start(const Options& options) {
  char dirTemplate[] = "/tmp/kwo-xorg-XXXXXX";
  if (!mkdtemp(dirTemplate))
    throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
  dir_ = dirTemplate;
  const std::string config = dir_ + "/xorg.conf";
  const std::string configDir = dir_ + "/xorg.conf.d";
  if (mkdir(configDir.c_str(), 0700) != 0)
    fail(std::string("mkdir: ") + std::strerror(errno));
  writeFile(config, configText(options));

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0)
    fail(std::string("pipe2: ") + std::strerror(errno));
  std::vector<std::string> args = {
    "Xorg", "-noreset", "-nolisten", "tcp", "-novtswitch", "-sharevts",
    "-config", config, "-configdir", configDir, "-logfile", dir_ + "/xorg.log",
    "-displayfd", std::to_string(fds[1]),
  };
  std::vector<char*> argv;
  for (std::string& arg : args)
    argv.push_back(arg.data());
  argv.push_back(nullptr);
  const std::string outputPath = dir_ + "/output.txt";

  pid_t parent = getpid();
  pid_ = fork();
  if (pid_ == 0)
    runXorg(argv.data(), fds[1], outputPath.c_str(), parent);
  int forkErrno = errno;
  close(fds[1]);
  if (pid_ < 0) {
    close(fds[0]);
    fail(std::string("fork: ") + std::strerror(forkErrno));
  }
  try {
    awaitDisplayNumber(fds[0], Clock::now() + options.startDeadline);
  } catch (...) {
    close(fds[0]);
    throw;
  }
  close(fds[0]);
}

// Xorg writes the number once its listening sockets exist and the screen is
// set up, just before it starts serving clients; that is readiness.
void XorgDummyServer::awaitDisplayNumber(int fd, Clock::time_point deadline) {
  std::string text;
  while (text.find('\n') == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0)
      fail("Xorg did not report its display number in time");
    pollfd pfd = {fd, POLLIN, 0};
    int ready = poll(&pfd, 1, int(left.count()));
    if (ready <= 0)
      continue;
    char chunk[32];
    ssize_t n = read(fd, chunk, sizeof(chunk));
    if (n == 0)
      fail("Xorg ended before reporting its display number");
    if (n > 0)
      text.append(chunk, size_t(n));
  }
  char* end = nullptr;
  long number = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str() || number < 0)
    fail("Xorg reported a bad display number: " + text);
  number_ = int(number);
  displayName_ = ":" + std::to_string(number_);
}

void XorgDummyServer::fail(const std::string& why) {
  std::string output = log();
  stop();
  throw std::runtime_error(why + "\n--- Xorg output and log ---\n" + output);
}

void XorgDummyServer::exportDisplay() const {
  setenv("DISPLAY", displayName_.c_str(), 1);
}

std::string XorgDummyServer::log() const {
  if (dir_.empty())
    return {};
  return readFile(dir_ + "/output.txt") + readFile(dir_ + "/xorg.log");
}

void XorgDummyServer::stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    // Xorg shuts down in well under a second; one that hangs is killed.
    Clock::time_point giveUp = Clock::now() + std::chrono::seconds(20);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (Clock::now() >= giveUp) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        break;
      }
      poll(nullptr, 0, 10);
    }
    pid_ = -1;
  }
  if (!dir_.empty()) {
    for (const char* name : {"xorg.conf", "xorg.log", "xorg.log.old", "output.txt"})
      unlink((dir_ + "/" + name).c_str());
    rmdir((dir_ + "/xorg.conf.d").c_str());
    rmdir(dir_.c_str());
    dir_.clear();
  }
}

} // namespace testsupport
