#include "ServeFixture.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kwoserve::test {

namespace {

int viewerTag;

unsigned long pixelOf(Rgb8 c) { return (unsigned long)(c.r << 16 | c.g << 8 | c.b); }

sockaddr_in loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(uint16_t(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

} // namespace

rfb::Rect differingArea(const Picture& a, const Picture& b) {
  if (a.width != b.width || a.height != b.height)
    return rfb::Rect(0, 0, std::max(a.width, b.width), std::max(a.height, b.height));
  rfb::Rect area;
  for (int y = 0; y < a.height; y++)
    for (int x = 0; x < a.width; x++)
      if (a.pixels[size_t(y) * a.width + x] != b.pixels[size_t(y) * a.width + x])
        area = area.unionBoundary(rfb::Rect(x, y, x + 1, y + 1));
  return area;
}

uint32_t bigEndian32(const std::string& s, size_t at) {
  return uint32_t(bigEndian16(s, at)) << 16 | uint32_t(bigEndian16(s, at + 2));
}

int bigEndian16(const std::string& s, size_t at) {
  return uint8_t(s[at]) << 8 | uint8_t(s[at + 1]);
}

int freePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr = loopback(0);
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
  window_ = XCreateWindow(dpy_, DefaultRootWindow(dpy_), 0, 0, 1024, 768, 0, CopyFromParent,
                          InputOutput, CopyFromParent, CWOverrideRedirect, &attrs);
  XSelectInput(dpy_, window_, KeyPressMask | ButtonPressMask);
  XMapRaised(dpy_, window_);
  XSetInputFocus(dpy_, window_, RevertToParent, CurrentTime);
  for (int ty = 0; ty < 6; ty++) {
    for (int tx = 0; tx < 8; tx++) {
      draw({(tx * 97 + ty * 31 + 40) % 256, (tx * 53 + ty * 151 + 90) % 256,
            (tx * 29 + ty * 67 + 200) % 256},
           tx * 128, ty * 128, 128, 128);
    }
  }
}

PatternDisplay::~PatternDisplay() { XCloseDisplay(dpy_); }

void PatternDisplay::draw(Rgb8 colour, int x, int y, int width, int height) {
  GC gc = XCreateGC(dpy_, window_, 0, nullptr);
  XSetForeground(dpy_, gc, pixelOf(colour));
  XFillRectangle(dpy_, window_, gc, x, y, unsigned(width), unsigned(height));
  XFreeGC(dpy_, gc);
  XSync(dpy_, False);
  for (int row = y; row < y + height; row++)
    std::fill_n(shown_.pixels.begin() + row * shown_.width + x, width, colour);
}

void PatternDisplay::readInput(Input& input) {
  while (XPending(dpy_)) {
    XEvent ev;
    XNextEvent(dpy_, &ev);
    if (ev.type == KeyPress) {
      char buffer[8];
      KeySym sym;
      input.typed.append(buffer, size_t(XLookupString(&ev.xkey, buffer, 8, &sym, nullptr)));
    }
    input.clicks += ev.type == ButtonPress;
  }
}

ServeRun::ServeRun(const std::string& display, const std::vector<std::string>& extraArgs,
                   Password password) {
  port_ = freePort();
  // An HTTP port of its own: the default one may be another test's.
  std::vector<std::string> args{KWO_SERVE_PATH, "-port", std::to_string(port_), "-agent",
                                KWO_AGENT_PATH, "-httpport", std::to_string(freePort())};
  if (!display.empty())
    args.insert(args.end(), {"-display", display});
  if (password == Password::none)
    args.push_back("-nopassword");
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  std::vector<char*> argv;
  for (std::string& a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  int log = open((runtimeDir_.path() + "/log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(log, 2);
    setenv("XDG_RUNTIME_DIR", runtimeDir_.path().c_str(), 1);
    if (display.empty())
      unsetenv("DISPLAY");
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(log);
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

std::string ServeRun::log() const { return readFile(runtimeDir_.path() + "/log"); }

bool ServeRun::running() {
  int status;
  if (status_ == -1 && waitpid(pid_, &status, WNOHANG) == pid_)
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return status_ == -1;
}

int ServeRun::waitExit() {
  pollUntil([&] { return !running(); });
  return status_;
}

bool ServeRun::waitListening() {
  return pollUntil([&] { return !running() || Connection(port_).fd() >= 0; }) && running();
}

bool ServeRun::waitLog(const std::string& text) {
  return pollUntil([&] { return log().find(text) != std::string::npos; });
}

std::string ServeRun::banner(const std::string& label) {
  std::string key = "\n  " + label + ":";
  std::string text;
  if (!pollUntil([&] {
        text = log();
        size_t at = text.find(key);
        return at != std::string::npos && text.find('\n', at + key.size()) != std::string::npos;
      }))
    return {};
  size_t start = text.find_first_not_of(' ', text.find(key) + key.size());
  return text.substr(start, text.find('\n', start) - start);
}

std::vector<std::pair<pid_t, std::string>> ServeRun::children() const {
  std::vector<std::pair<pid_t, std::string>> out;
  std::string self = std::to_string(pid_);
  std::ifstream in("/proc/" + self + "/task/" + self + "/children");
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

Viewer::Viewer(int port, const std::string& password) : password_(password) {
  rfbEnableClientLogging = FALSE;
  client_ = rfbGetClient(8, 3, 4);
  client_->GetPassword = getPassword;
  free(client_->serverHost);
  client_->serverHost = strdup("127.0.0.1");
  client_->serverPort = port;
  rfbClientSetClientData(client_, &viewerTag, this);
  if (!rfbInitClient(client_, nullptr, nullptr))
    client_ = nullptr;  // freed by rfbInitClient
}

Viewer::~Viewer() {
  if (!client_)
    return;
  // LibVNCClient leaves the framebuffer and the cursor shape to the application.
  free(client_->frameBuffer);
  free(client_->rcSource);
  free(client_->rcMask);
  client_->frameBuffer = client_->rcSource = client_->rcMask = nullptr;
  rfbClientCleanup(client_);
}

char* Viewer::getPassword(rfbClient* client) {
  auto* self = static_cast<Viewer*>(rfbClientGetClientData(client, &viewerTag));
  // No password: LibVNCClient gives up (it would not free an empty one).
  return self->password_.empty() ? nullptr : strdup(self->password_.c_str());
}

Picture Viewer::picture() const {
  Picture out{client_->width, client_->height, {}};
  const uint8_t* p = client_->frameBuffer;
  // The client's default format: red in the lowest byte.
  for (int i = 0; i < out.width * out.height; i++, p += 4)
    out.pixels.push_back({p[0], p[1], p[2]});
  return out;
}

bool Viewer::waitUntil(const std::function<bool()>& condition) {
  bool lost = false;
  auto handleMessages = [&] {
    // WaitForMessage looks at the socket only, not at what LibVNCClient
    // has read ahead.
    int n = client_->buffered > 0 ? 1 : WaitForMessage(client_, 50000);
    lost = n < 0 || (n > 0 && !HandleRFBServerMessage(client_));
  };
  return testsupport::waitUntil([&] { return lost || condition(); }, handleMessages, deadline) &&
         !lost;
}

Connection::Connection(int port, int receiveBuffer)
    : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  if (receiveBuffer > 0)
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
  sockaddr_in addr = loopback(port);
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
    char buffer[65536];
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

RawViewer::RawViewer(int port, int receiveBuffer) : Connection(port, receiveBuffer) {
  take(12);  // version
  send("RFB 003.008\n");
  take(uint8_t(take(1)[0]));  // security types
  send("\1");                 // none
  take(4);                    // security result
  send("\1");                 // shared
  std::string init = take(24);
  bytesPerPixel_ = uint8_t(init[4]) / 8;
  take(bigEndian32(init, 20));  // name
}

std::string RawViewer::take(size_t n) {
  while (pending_.size() < n) {
    std::string more = read([](const std::string& got) { return !got.empty(); });
    if (more.empty() || more.find("(no end in time)") != std::string::npos)
      throw std::runtime_error("the server stopped talking");
    pending_ += more;
  }
  std::string out = pending_.substr(0, n);
  pending_.erase(0, n);
  return out;
}

int RawViewer::next(std::vector<std::string>* rects) {
  int type;
  while ((type = uint8_t(take(1)[0])) == 2) {
  }
  for (int n = type == 0 ? bigEndian16(take(3), 1) : 0; n > 0; n--) {
    std::string r = take(12);
    if (bigEndian32(r, 8) == 0)
      take(size_t(bigEndian16(r, 4)) * size_t(bigEndian16(r, 6)) * size_t(bytesPerPixel_));
    else if (bigEndian32(r, 8) == rfbEncodingExtDesktopSize)
      take(size_t(uint8_t(take(4)[0])) * 16);
    else
      throw std::runtime_error("unexpected encoding " + std::to_string(int32_t(bigEndian32(r, 8))));
    if (rects)
      rects->push_back(r);
  }
  return type;
}

} // namespace kwoserve::test
