#include "kwo-serve/VirtualDesktop.h"

#include "base/io/UniqueFd.h"
#include "base/plat/Exception.h"
#include "base/plat/Format.h"
#include "base/plat/LogSrc.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
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

// Records the first X error of a request sequence instead of exiting.
int xErrorCode = 0;
int recordXError(Display*, XErrorEvent* event) {
  if (!xErrorCode)
    xErrorCode = event->error_code;
  return 0;
}

struct DisplayCloser {
  void operator()(Display* dpy) const { XCloseDisplay(dpy); }
};

struct ResourcesFree {
  void operator()(XRRScreenResources* resources) const { XRRFreeScreenResources(resources); }
};

} // namespace

VirtualDesktop::VirtualDesktop(int width, int height, int depth, const std::string& cookieFile)
    : cookieFile_(cookieFile) {
  startServer(std::max(width, maxWidth), std::max(height, maxHeight), depth);
  setScreenSize(width, height);
  startDesktop();
}

void VirtualDesktop::setScreenSize(int width, int height) {
  // kwo-serve's own connections to the display (here, and when it checks
  // the display is still there) need the cookie too.
  setenv("XAUTHORITY", cookieFile_.c_str(), 1);
  std::unique_ptr<Display, DisplayCloser> dpy(XOpenDisplay(displayName_.c_str()));
  if (!dpy)
    throw plat::Exception("cannot open the virtual display " + displayName_);
  Window root = DefaultRootWindow(dpy.get());
  std::unique_ptr<XRRScreenResources, ResourcesFree> resources(
      XRRGetScreenResources(dpy.get(), root));
  if (!resources || resources->noutput < 1 || resources->ncrtc < 1)
    throw plat::Exception("the virtual display has no RandR output to size");
  std::string name = plat::format("%dx%d", width, height);
  XRRModeInfo* info = XRRAllocModeInfo(name.c_str(), int(name.size()));
  info->width = unsigned(width);
  info->height = unsigned(height);
  info->hTotal = unsigned(width);
  info->vTotal = unsigned(height);
  info->dotClock = (unsigned long)width * height * 60;
  xErrorCode = 0;
  auto previous = XSetErrorHandler(recordXError);
  RRMode mode = XRRCreateMode(dpy.get(), root, info);
  XRRFreeModeInfo(info);
  RROutput output = resources->outputs[0];
  XRRAddOutputMode(dpy.get(), output, mode);
  Status status = XRRSetCrtcConfig(dpy.get(), resources.get(), resources->crtcs[0], CurrentTime,
                                   0, 0, mode, RR_Rotate_0, &output, 1);
  // 96 dots per inch.
  XRRSetScreenSize(dpy.get(), root, width, height, width * 254 / 960, height * 254 / 960);
  XSync(dpy.get(), False);
  XSetErrorHandler(previous);
  if (status != RRSetConfigSuccess || xErrorCode)
    throw plat::Exception(plat::format("cannot size the virtual display to %s (status %d, X error %d)",
                                       name.c_str(), int(status), xErrorCode));
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
