#include "ServeFixture.h"

#include "ViewerClipboard.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace kwoserve::test {

namespace {

int viewerTag;

} // namespace

bool pollUntil(const std::function<bool()>& condition) {
  auto end = std::chrono::steady_clock::now() + deadline;
  while (std::chrono::steady_clock::now() < end) {
    if (condition())
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return condition();
}

Rgb8 tileColour(int tx, int ty) {
  return {(tx * 97 + ty * 31 + 40) % 256, (tx * 53 + ty * 151 + 90) % 256,
          (tx * 29 + ty * 67 + 200) % 256};
}

Rgb8 Picture::pixel(int x, int y) const {
  const uint8_t* p = rgb.data() + (size_t(y) * width + x) * 3;
  return {p[0], p[1], p[2]};
}

std::string pictureDifference(const Picture& got, const Picture& want) {
  std::ostringstream out;
  if (got.width != want.width || got.height != want.height) {
    out << "size " << got.width << "x" << got.height << " vs " << want.width << "x"
        << want.height;
    return out.str();
  }
  long differing = 0;
  for (int y = 0; y < want.height; y++) {
    for (int x = 0; x < want.width; x++) {
      Rgb8 g = got.pixel(x, y);
      Rgb8 w = want.pixel(x, y);
      if (near(g, w, 0))
        continue;
      if (differing++ == 0)
        out << "first at " << x << "," << y << ": " << g.r << "," << g.g << "," << g.b
            << " vs " << w.r << "," << w.g << "," << w.b;
    }
  }
  if (differing == 0)
    return {};
  return std::to_string(differing) + " pixels differ, " + out.str();
}

bool near(Rgb8 a, Rgb8 b, int tolerance) {
  return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance &&
         std::abs(a.b - b.b) <= tolerance;
}

int freePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  socklen_t len = sizeof(addr);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

PatternDisplay::PatternDisplay() {
  dpy_ = XOpenDisplay(server_.displayName().c_str());
  if (!dpy_)
    throw std::runtime_error("cannot open " + server_.displayName());
  XSetWindowAttributes attrs{};
  attrs.override_redirect = True;
  attrs.background_pixel = 0;
  window_ = XCreateWindow(dpy_, DefaultRootWindow(dpy_), 0, 0, 1024, 768, 0, CopyFromParent,
                          InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel, &attrs);
  XSelectInput(dpy_, window_, KeyPressMask | ButtonPressMask | ExposureMask);
  XMapRaised(dpy_, window_);
  XSetInputFocus(dpy_, window_, RevertToParent, CurrentTime);
  drawPattern();
}

PatternDisplay::~PatternDisplay() {
  if (dpy_)
    XCloseDisplay(dpy_);
}

void PatternDisplay::drawPattern() {
  GC gc = XCreateGC(dpy_, window_, 0, nullptr);
  for (int ty = 0; ty < 768 / tileSize; ty++) {
    for (int tx = 0; tx < 1024 / tileSize; tx++) {
      Rgb8 c = tileColour(tx, ty);
      XSetForeground(dpy_, gc, (unsigned long)(c.r << 16 | c.g << 8 | c.b));
      XFillRectangle(dpy_, window_, gc, tx * tileSize, ty * tileSize, tileSize, tileSize);
    }
  }
  XFreeGC(dpy_, gc);
  XSync(dpy_, False);
}

Picture PatternDisplay::picture() const {
  Window root = DefaultRootWindow(dpy_);
  XWindowAttributes attrs;
  XGetWindowAttributes(dpy_, root, &attrs);
  // XDestroyImage is a macro: wrapped for the deleter.
  auto destroy = [](XImage* image) { XDestroyImage(image); };
  std::unique_ptr<XImage, decltype(destroy)> image(
      XGetImage(dpy_, root, 0, 0, unsigned(attrs.width), unsigned(attrs.height), AllPlanes,
                ZPixmap),
      destroy);
  if (!image)
    throw std::runtime_error("XGetImage failed on " + name());
  if (image->red_mask != 0xff0000 || image->green_mask != 0xff00 || image->blue_mask != 0xff)
    throw std::runtime_error("unexpected visual on " + name());
  Picture out{attrs.width, attrs.height, {}};
  out.rgb.resize(size_t(out.width) * out.height * 3);
  uint8_t* to = out.rgb.data();
  for (int y = 0; y < out.height; y++) {
    for (int x = 0; x < out.width; x++, to += 3) {
      unsigned long p = XGetPixel(image.get(), x, y);
      to[0] = uint8_t(p >> 16);
      to[1] = uint8_t(p >> 8);
      to[2] = uint8_t(p);
    }
  }
  return out;
}

void PatternDisplay::fill(Rgb8 c, int width, int height) {
  GC gc = XCreateGC(dpy_, window_, 0, nullptr);
  XSetForeground(dpy_, gc, (unsigned long)(c.r << 16 | c.g << 8 | c.b));
  XFillRectangle(dpy_, window_, gc, 0, 0, unsigned(width), unsigned(height));
  XFreeGC(dpy_, gc);
  XSync(dpy_, False);
}

ServeRun::ServeRun(const std::string& display, const std::vector<std::string>& extraArgs,
                   Password password) {
  port_ = freePort();
  logPath_ = runtimeDir_.path() + "/log";
  int fd = open(logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  std::vector<std::string> args{KWO_SERVE_PATH, "-port", std::to_string(port_), "-agent",
                                KWO_AGENT_PATH};
  if (!display.empty())
    args.insert(args.end(), {"-display", display});
  if (password == Password::none)
    args.push_back("-nopassword");
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  pid_ = fork();
  if (pid_ == 0) {
    dup2(fd, 2);
    setenv("XDG_RUNTIME_DIR", runtimeDir_.path().c_str(), 1);
    if (display.empty())
      unsetenv("DISPLAY");
    std::vector<char*> argv;
    for (std::string& a : args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(fd);
}

ServeRun::~ServeRun() {
  if (running()) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

std::string ServeRun::runtimeFile(const std::string& name) const {
  return runtimeDir_.path() + "/kwo-serve/" + name;
}

std::string ServeRun::password() const {
  std::string text = readFile(runtimeFile("password-" + std::to_string(port_)));
  return text.substr(0, text.find('\n'));
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string ServeRun::log() const { return readFile(logPath_); }

bool ServeRun::running() {
  if (status_ != -1 || pid_ < 0)
    return false;
  int status;
  if (waitpid(pid_, &status, WNOHANG) == pid_) {
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return false;
  }
  return true;
}

bool ServeRun::waitListening() {
  return pollUntil([&] {
    if (!running())
      return true;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port_));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    close(fd);
    return ok;
  }) && running();
}

bool ServeRun::waitLog(const std::string& text) {
  return pollUntil([&] { return log().find(text) != std::string::npos; });
}

std::vector<std::pair<pid_t, std::string>> ServeRun::children() const {
  std::vector<std::pair<pid_t, std::string>> out;
  std::ifstream in("/proc/" + std::to_string(pid_) + "/task/" + std::to_string(pid_) +
                   "/children");
  pid_t child;
  while (in >> child) {
    std::ifstream comm("/proc/" + std::to_string(child) + "/comm");
    std::string name;
    comm >> name;
    out.emplace_back(child, name);
  }
  return out;
}

pid_t ServeRun::agentPid() const {
  for (const auto& [pid, name] : children())
    if (name.rfind("kwoagent", 0) == 0)
      return pid;
  return -1;
}

Connection::Connection(int port) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(uint16_t(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    close(fd_);
    fd_ = -1;
  }
}

Connection::~Connection() {
  if (fd_ >= 0)
    close(fd_);
}

bool Connection::send(const std::string& data) {
  return ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL) == ssize_t(data.size());
}

std::string Connection::read(const std::function<bool(const std::string&)>& enough) {
  std::string data;
  auto end = std::chrono::steady_clock::now() + deadline;
  while (std::chrono::steady_clock::now() < end) {
    if (enough && enough(data))
      return data;
    pollfd pfd{fd_, POLLIN, 0};
    if (poll(&pfd, 1, 100) <= 0)
      continue;
    char buffer[4096];
    ssize_t n = recv(fd_, buffer, sizeof(buffer), 0);
    if (n <= 0)
      return data;
    data.append(buffer, size_t(n));
  }
  return data + "(no end in time)";
}

std::string Connection::get(const std::string& path) {
  if (!send("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"))
    return "(send failed)";
  return read();
}

int ServeRun::waitExit() {
  pollUntil([&] { return !running(); });
  return status_;
}

Viewer::Viewer(int port, const std::string& password) : password_(password) {
  rfbEnableClientLogging = FALSE;
  ViewerClipboard::announce();
  client_ = rfbGetClient(8, 3, 4);
  client_->GetPassword = getPassword;
  free(client_->serverHost);
  client_->serverHost = strdup("127.0.0.1");
  client_->serverPort = port;
  rfbClientSetClientData(client_, &viewerTag, this);
  if (!rfbInitClient(client_, nullptr, nullptr)) {
    client_ = nullptr;  // freed by rfbInitClient
    return;
  }
  ViewerClipboard::sendCaps(client_, maxCutText);
}

Viewer::~Viewer() {
  if (!client_)
    return;
  // LibVNCClient leaves the framebuffer it allocated to the application.
  free(client_->frameBuffer);
  client_->frameBuffer = nullptr;
  rfbClientCleanup(client_);
}

char* Viewer::getPassword(rfbClient* client) {
  auto* self = static_cast<Viewer*>(rfbClientGetClientData(client, &viewerTag));
  // No password: LibVNCClient gives up (it would not free an empty one).
  return self->password_.empty() ? nullptr : strdup(self->password_.c_str());
}

Rgb8 Viewer::pixel(int x, int y) const {
  const uint8_t* p = client_->frameBuffer + (size_t(y) * client_->width + x) * 4;
  // The client's default format: red in the lowest byte.
  return {p[0], p[1], p[2]};
}

bool Viewer::waitUntil(const std::function<bool()>& condition) {
  auto end = std::chrono::steady_clock::now() + deadline;
  while (std::chrono::steady_clock::now() < end) {
    if (condition())
      return true;
    // WaitForMessage looks at the socket only, not at what LibVNCClient
    // has read ahead.
    int n = client_->buffered > 0 ? 1 : WaitForMessage(client_, 50000);
    if (n < 0)
      return false;
    if (n > 0 && !handleMessage())
      return false;
  }
  return condition();
}

bool Viewer::handleMessage() {
  std::optional<std::string> text;
  switch (ViewerClipboard::readIfCutText(client_, text)) {
  case ViewerClipboard::Result::failed:
    return false;
  case ViewerClipboard::Result::handled:
    if (text)
      cutText_ = std::move(*text);
    return true;
  case ViewerClipboard::Result::notCutText:
    break;
  }
  return HandleRFBServerMessage(client_);
}

} // namespace kwoserve::test
