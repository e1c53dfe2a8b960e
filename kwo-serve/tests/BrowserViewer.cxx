#include "BrowserViewer.h"

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kwoserve::test {

namespace {

using Clock = std::chrono::steady_clock;

const std::string browserDir = KWO_SERVE_SOURCE_DIR "/tests/browser";
const std::string chromium = "/usr/bin/chromium";
// Starting Chromium and noVNC beside ASan builds of the whole suite on two
// cores can take long; a failing script answers "error" well before this.
constexpr auto answerDeadline = std::chrono::seconds(150);

} // namespace

std::string BrowserViewer::missing() {
  const std::pair<std::string, std::string> needs[] = {
      {chromium, "Chromium (Debian package chromium)"},
      {"/usr/bin/node", "node (Debian package nodejs)"},
      {"/usr/share/novnc/vnc.html", "noVNC (Debian package novnc)"},
      {browserDir + "/node_modules/playwright-core/package.json",
       "node module playwright-core (npm ci in " + browserDir + ")"},
  };
  for (const auto& [path, what] : needs)
    if (access(path.c_str(), R_OK) != 0)
      return what;
  return {};
}

BrowserViewer::BrowserViewer(const std::string& url, const std::string& viewport) {
  std::vector<std::string> args{"/usr/bin/node", browserDir + "/novnc-viewer.mjs", "--url", url,
                                "--viewport",    viewport, "--chromium", chromium};
  std::vector<char*> argv;
  for (std::string& a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  int commandPair[2], answerPipe[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, commandPair) != 0 ||
      pipe2(answerPipe, O_CLOEXEC) != 0)
    throw std::runtime_error("no socket or pipe for the script");
  int logFd = open((dir_.path() + "/log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(commandPair[1], 0);
    dup2(answerPipe[1], 1);
    dup2(logFd, 2);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(logFd);
  close(commandPair[1]);
  close(answerPipe[1]);
  commands_ = commandPair[0];
  answers_ = answerPipe[0];
}

BrowserViewer::~BrowserViewer() {
  // End of input is the script's cue to close the browser and exit;
  // Playwright closes its browser on SIGTERM.
  shutdown(commands_, SHUT_WR);
  if (!exitedWithin(std::chrono::seconds(30))) {
    kill(pid_, SIGTERM);
    if (!exitedWithin(std::chrono::seconds(10))) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  close(commands_);
  close(answers_);
}

bool BrowserViewer::exitedWithin(std::chrono::seconds timeout) {
  auto end = Clock::now() + timeout;
  do {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_)
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (Clock::now() < end);
  return false;
}

std::optional<std::string> BrowserViewer::ask(const std::string& command) {
  std::string line = command + "\n";
  if (!command.empty() &&
      send(commands_, line.data(), line.size(), MSG_NOSIGNAL) != ssize_t(line.size()))
    return std::nullopt;
  auto end = Clock::now() + answerDeadline;
  size_t newline;
  while ((newline = pending_.find('\n')) == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    pollfd pfd{answers_, POLLIN, 0};
    if (left.count() <= 0 || poll(&pfd, 1, int(left.count())) <= 0) {
      lastAnswer_ = "(no answer in time)";
      return std::nullopt;
    }
    char buffer[4096];
    ssize_t n = read(answers_, buffer, sizeof(buffer));
    if (n <= 0) {
      lastAnswer_ = "(the script ended) " + pending_;
      return std::nullopt;
    }
    pending_.append(buffer, size_t(n));
  }
  lastAnswer_ = pending_.substr(0, newline);
  pending_.erase(0, newline + 1);
  return lastAnswer_;
}

bool BrowserViewer::waitConnected() {
  std::optional<std::string> line = ask("");
  return line && line->rfind("connected ", 0) == 0;
}

std::optional<Picture> BrowserViewer::capture() {
  std::string path = dir_.path() + "/canvas.rgba";
  std::optional<std::string> answer = ask("capture " + path);
  Picture picture;
  if (!answer || sscanf(answer->c_str(), "captured %d %d", &picture.width, &picture.height) != 2)
    return std::nullopt;
  std::string rgba = readFile(path);
  if (rgba.size() != size_t(picture.width) * size_t(picture.height) * 4)
    return std::nullopt;
  for (size_t i = 0; i < rgba.size(); i += 4)
    picture.pixels.push_back({uint8_t(rgba[i]), uint8_t(rgba[i + 1]), uint8_t(rgba[i + 2])});
  return picture;
}

bool BrowserViewer::click(int x, int y) {
  return ask("click " + std::to_string(x) + " " + std::to_string(y)) == "clicked";
}

bool BrowserViewer::type(const std::string& text) { return ask("type " + text) == "typed"; }

std::string BrowserViewer::log() const {
  return "novnc-viewer.mjs, last answer: " + lastAnswer_ + "\n" + readFile(dir_.path() + "/log");
}

} // namespace kwoserve::test
