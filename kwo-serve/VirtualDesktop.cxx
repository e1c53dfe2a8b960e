#include "kwo-serve/VirtualDesktop.h"

#include "base/io/UniqueFd.h"
#include "base/plat/Exception.h"
#include "base/plat/Format.h"
#include "base/plat/LogSrc.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace kwoserve {

namespace {

plat::LogSrc vlog("VirtualDesktop");

constexpr auto startDeadline = std::chrono::seconds(30);

// Reads the display number Xvfb writes (digits, then a newline) to `fd`.
int readDisplayNumber(int fd, ChildProgram& server) {
  auto end = std::chrono::steady_clock::now() + startDeadline;
  std::string text;
  while (text.find('\n') == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0)
      throw plat::Exception("Xvfb did not report its display in time");
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, int(std::min<long>(left.count(), 200)));
    if (r < 0 && errno != EINTR)
      throw plat::SystemException("poll", errno);
    if (r <= 0) {
      if (!server.running())
        throw plat::Exception("Xvfb ended before reporting its display");
      continue;
    }
    char buffer[32];
    ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n <= 0)
      throw plat::Exception("Xvfb ended before reporting its display");
    text.append(buffer, size_t(n));
  }
  return std::stoi(text);
}

} // namespace

VirtualDesktop::VirtualDesktop(int width, int height, int depth, const std::string& cookieFile)
    : cookieFile_(cookieFile) {
  startServer(width, height, depth);
  startDesktop();
}

VirtualDesktop::~VirtualDesktop() {
  // Clients first: they would otherwise complain about the lost display.
  clients_.clear();
  server_.reset();
}

void VirtualDesktop::startServer(int width, int height, int depth) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0)
    throw plat::SystemException("pipe2", errno);
  io::UniqueFd readEnd(fds[0]);
  io::UniqueFd writeEnd(fds[1]);
  std::string screen = plat::format("%dx%dx%d", width, height, depth);
  server_ = std::make_unique<ChildProgram>(
      std::vector<std::string>{"Xvfb", "-displayfd", "1", "-screen", "0", screen, "-nolisten",
                               "tcp", "-noreset", "-auth", cookieFile_},
      writeEnd.get(), std::vector<std::pair<std::string, std::string>>{}, true);
  writeEnd.reset();
  int number = readDisplayNumber(readEnd.get(), *server_);
  displayName_ = plat::format(":%d", number);
  vlog.status("Virtual display %s (%s) started", displayName_.c_str(), screen.c_str());
}

std::vector<std::pair<std::string, std::string>> VirtualDesktop::clientEnvironment() const {
  return {{"DISPLAY", displayName_}, {"XAUTHORITY", cookieFile_}};
}

void VirtualDesktop::startDesktop() {
  std::vector<std::pair<std::string, std::string>> env = clientEnvironment();
  // A patterned background makes a stale or misplaced update easy to see.
  if (ChildProgram::available("xsetroot")) {
    ChildProgram root({"xsetroot", "-mod", "16", "16", "-fg", "#3a6ea5", "-bg", "#254a70"}, -1,
                      env);
    for (int i = 0; i < 300 && root.running(); i++)
      usleep(10000);
  }
  if (ChildProgram::available("xterm")) {
    clients_.push_back(std::make_unique<ChildProgram>(
        std::vector<std::string>{"xterm", "-geometry", "80x24+40+40", "-title", "kwo-serve"}, -1,
        env, true));
  } else {
    vlog.status("xterm not found: the virtual desktop has no terminal");
  }
  if (ChildProgram::available("xclock")) {
    clients_.push_back(std::make_unique<ChildProgram>(
        std::vector<std::string>{"xclock", "-geometry", "160x160-20+20", "-update", "1"}, -1,
        env, true));
  }
}

} // namespace kwoserve
