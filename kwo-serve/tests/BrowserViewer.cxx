#include "BrowserViewer.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <algorithm>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kwoserve::test {

namespace {

using Clock = std::chrono::steady_clock;

const std::string browserDir = KWO_SERVE_SOURCE_DIR "/tests/browser";
const std::string chromiumPath = "/usr/bin/chromium";
// Starting Chromium and noVNC beside ASan builds of the whole suite on two
// cores can take long; a failing script answers "error" well before this.
constexpr auto answerDeadline = std::chrono::seconds(150);

bool executable(const std::string& path) {
  return access(path.c_str(), X_OK) == 0;
}

bool onPath(const std::string& program) {
  const char* path = getenv("PATH");
  std::istringstream dirs(path ? path : "");
  std::string dir;
  while (std::getline(dirs, dir, ':'))
    if (!dir.empty() && executable(dir + "/" + program))
      return true;
  return false;
}

} // namespace

std::string BrowserViewer::pageFolder() {
  return browserDir;
}

std::string BrowserViewer::missing() {
  if (!executable(chromiumPath))
    return "Chromium (" + chromiumPath + ", Debian package chromium)";
  if (!onPath("node"))
    return "node (Debian package nodejs)";
  for (const char* module : {"@novnc/novnc/core/rfb.js", "playwright-core/package.json"})
    if (access((browserDir + "/node_modules/" + module).c_str(), R_OK) != 0)
      return std::string("node module ") + module + " (npm ci in " + browserDir + ")";
  return {};
}

BrowserViewer::BrowserViewer(int port, const std::string& pageUrl, int pagePort)
    : dir_("kwo-serve-browser"), logPath_(dir_.path() + "/log"),
      capturePath_(dir_.path() + "/canvas.rgba") {
  std::vector<std::string> args{"node", browserDir + "/novnc-viewer.mjs", "--port",
                                std::to_string(port), "--chromium", chromiumPath};
  if (!pageUrl.empty())
    args.insert(args.end(), {"--page-url", pageUrl});
  if (pagePort > 0)
    args.insert(args.end(), {"--page-port", std::to_string(pagePort)});
  std::vector<char*> argv;
  for (std::string& a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);

  int commandPair[2];
  int answerPipe[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, commandPair) != 0)
    throw std::runtime_error("socketpair failed");
  if (pipe2(answerPipe, O_CLOEXEC) != 0) {
    close(commandPair[0]);
    close(commandPair[1]);
    throw std::runtime_error("pipe failed");
  }
  int logFd = open(logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(commandPair[1], 0);
    dup2(answerPipe[1], 1);
    dup2(logFd, 2);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(logFd);
  close(commandPair[1]);
  close(answerPipe[1]);
  commands_ = commandPair[0];
  answers_ = answerPipe[0];
}

BrowserViewer::~BrowserViewer() {
  if (pid_ > 0) {
    // End of input is the script's cue to close the browser and exit.
    send(commands_, "quit\n", 5, MSG_NOSIGNAL);
    shutdown(commands_, SHUT_WR);
    if (!exitedWithin(std::chrono::seconds(30))) {
      // Playwright closes its browser on SIGTERM.
      kill(pid_, SIGTERM);
      if (!exitedWithin(std::chrono::seconds(10))) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
      }
    }
  }
  if (commands_ >= 0)
    close(commands_);
  if (answers_ >= 0)
    close(answers_);
}

bool BrowserViewer::exitedWithin(std::chrono::milliseconds timeout) {
  auto end = Clock::now() + timeout;
  do {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_)
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (Clock::now() < end);
  return false;
}

std::optional<std::string> BrowserViewer::readLine() {
  auto end = Clock::now() + answerDeadline;
  for (;;) {
    size_t newline = pending_.find('\n');
    if (newline != std::string::npos) {
      std::string line = pending_.substr(0, newline);
      pending_.erase(0, newline + 1);
      lastAnswer_ = line;
      return line;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    if (left.count() <= 0) {
      lastAnswer_ = "(no answer in time)";
      return std::nullopt;
    }
    pollfd pfd{answers_, POLLIN, 0};
    if (poll(&pfd, 1, int(left.count())) <= 0)
      continue;
    char buffer[4096];
    ssize_t n = read(answers_, buffer, sizeof(buffer));
    if (n <= 0) {
      lastAnswer_ = "(the script ended) " + pending_;
      return std::nullopt;
    }
    pending_.append(buffer, size_t(n));
  }
}

std::optional<std::string> BrowserViewer::ask(const std::string& command) {
  std::string line = command + "\n";
  if (send(commands_, line.data(), line.size(), MSG_NOSIGNAL) != ssize_t(line.size()))
    return std::nullopt;
  return readLine();
}

bool BrowserViewer::waitConnected() {
  std::optional<std::string> line = readLine();
  return line && line->rfind("connected ", 0) == 0;
}

std::optional<Picture> BrowserViewer::capture() {
  std::optional<std::string> answer = ask("capture " + capturePath_);
  Picture picture;
  if (!answer || sscanf(answer->c_str(), "captured %d %d", &picture.width, &picture.height) != 2)
    return std::nullopt;
  std::string rgba = readFile(capturePath_);
  size_t pixels = size_t(picture.width) * size_t(picture.height);
  if (rgba.size() != pixels * 4)
    return std::nullopt;
  picture.rgb.resize(pixels * 3);
  for (size_t i = 0; i < pixels; i++)
    for (size_t c = 0; c < 3; c++)
      picture.rgb[i * 3 + c] = uint8_t(rgba[i * 4 + c]);
  return picture;
}

bool BrowserViewer::click(int x, int y) {
  return ask("click " + std::to_string(x) + " " + std::to_string(y)) == "clicked";
}

bool BrowserViewer::type(const std::string& text) {
  return ask("type " + text) == "typed";
}

std::string BrowserViewer::log() const {
  return "novnc-viewer.mjs, last answer: " + lastAnswer_ + "\n" + readFile(logPath_);
}

} // namespace kwoserve::test
