// kwo-serve with a browser viewer: noVNC's own page (vnc.html of Debian's
// novnc) in headless Chromium, driven by browser/novnc-viewer.mjs one line
// at a time (see that script for the commands). Its canvas must show
// exactly what the X screen holds.

#include "ServeFixture.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace kwoserve::test {

namespace {

const std::string script = KWO_SERVE_SOURCE_DIR "/tests/browser/novnc-viewer.mjs";

class Browser {
public:
  // What is missing for a browser viewer here, or "" when nothing is.
  static std::string missing() {
    for (const auto& [path, what] : std::vector<std::pair<std::string, std::string>>{
             {"/usr/bin/chromium", "Chromium (Debian package chromium)"},
             {"/usr/bin/node", "node (Debian package nodejs)"},
             {"/usr/share/novnc/vnc.html", "noVNC (Debian package novnc)"},
             {script.substr(0, script.rfind('/')) + "/node_modules/playwright-core/package.json",
              "playwright-core (npm ci in the browser/ folder)"}})
      if (access(path.c_str(), R_OK) != 0)
        return what;
    return {};
  }

  Browser(const std::string& url, const std::string& viewport) {
    // Commands go through a socket (no SIGPIPE when the script is gone).
    int commands[2], answers[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, commands) != 0 ||
        pipe2(answers, O_CLOEXEC) != 0)
      throw std::runtime_error("no socket or pipe for the script");
    int log = open((dir_.path() + "/log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(commands[1], 0);
      dup2(answers[1], 1);
      dup2(log, 2);
      execl("/usr/bin/node", "node", script.c_str(), "--url", url.c_str(), "--viewport",
            viewport.c_str(), "--chromium", "/usr/bin/chromium", nullptr);
      _exit(127);
    }
    close(log);
    close(commands[1]);
    close(answers[1]);
    commands_ = commands[0];
    answers_ = answers[0];
  }

  // End of input is the script's cue to close the browser; Playwright also
  // closes it on SIGTERM.
  ~Browser() {
    shutdown(commands_, SHUT_WR);
    for (int signal : {0, SIGTERM, SIGKILL}) {
      if (signal)
        kill(pid_, signal);
      if (pollUntil([&] { return waitpid(pid_, nullptr, WNOHANG) == pid_; }))
        break;
    }
    close(commands_);
    close(answers_);
  }

  // Sends a command ("": none) and returns the answer; nullopt on failure.
  std::optional<std::string> ask(const std::string& command) {
    std::string line = command + "\n";
    if (!command.empty() &&
        send(commands_, line.data(), line.size(), MSG_NOSIGNAL) != ssize_t(line.size()))
      return std::nullopt;
    // Starting Chromium and noVNC beside ASan builds on two busy cores can
    // take long; a failing script answers "error" well before this.
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(150);
    size_t newline;
    while ((newline = pending_.find('\n')) == std::string::npos) {
      pollfd pfd{answers_, POLLIN, 0};
      char buffer[4096];
      ssize_t n = poll(&pfd, 1, 1000) > 0 ? read(answers_, buffer, sizeof(buffer)) : -1;
      if (n == 0 || std::chrono::steady_clock::now() > end) {
        last_ = "(no answer) " + pending_;
        return std::nullopt;
      }
      pending_.append(buffer, size_t(std::max<ssize_t>(n, 0)));
    }
    last_ = pending_.substr(0, newline);
    pending_.erase(0, newline + 1);
    return last_;
  }

  std::optional<Picture> capture() {
    std::optional<std::string> answer = ask("capture " + dir_.path() + "/canvas.rgba");
    Picture picture;
    if (!answer || sscanf(answer->c_str(), "captured %d %d", &picture.width, &picture.height) != 2)
      return std::nullopt;
    std::string rgba = readFile(dir_.path() + "/canvas.rgba");
    for (size_t i = 0; i + 3 < rgba.size(); i += 4)
      picture.pixels.push_back({uint8_t(rgba[i]), uint8_t(rgba[i + 1]), uint8_t(rgba[i + 2])});
    return picture;
  }

  std::string log() const {
    return "novnc-viewer.mjs, last answer: " + last_ + "\n" + readFile(dir_.path() + "/log");
  }

private:
  testsupport::TempDir dir_{"kwo-serve-browser"};
  pid_t pid_ = -1;
  int commands_ = -1;  // the script's standard input
  int answers_ = -1;   // its standard output
  std::string pending_;
  std::string last_;
};

} // namespace

// The way a person uses it: the URL kwo-serve prints opens noVNC from its
// own HTTP port, logs in with the password and connects at once; noVNC asks
// for its window's size (remote resizing) and the desktop takes it.
TEST(BrowserViewerTest, ThePrintedUrlConnectsResizesTheDesktopToTheWindowAndTakesClicksAndKeys) {
  if (std::string missing = Browser::missing(); !missing.empty())
    GTEST_SKIP() << "no browser viewer here, missing: " << missing
                 << " (bash scripts/install-deps.sh installs it)";
  PatternDisplay display;
  ServeRun serve(display.name(), {}, ServeRun::Password::generated);
  std::string url = serve.banner("browser");
  ASSERT_NE(url, "") << serve.log();
  Browser browser(url, "800x600");
  std::optional<std::string> connected = browser.ask("");
  ASSERT_TRUE(connected && connected->rfind("connected ", 0) == 0) << browser.log() << serve.log();
  // The screen took the window's size and shows the pattern's top left; the
  // first updates (or the new size) may still be on their way.
  Picture expected{800, 600, {}};
  for (int y = 0; y < expected.height; y++) {
    auto row = display.picture().pixels.begin() + y * display.picture().width;
    expected.pixels.insert(expected.pixels.end(), row, row + expected.width);
  }
  rfb::Rect differing;
  EXPECT_TRUE(pollUntil([&] {
    std::optional<Picture> canvas = browser.capture();
    differing = canvas ? differingArea(*canvas, expected) : rfb::Rect(0, 0, 1, 1);
    return differing.isEmpty();
  })) << differing.print() << browser.log() << serve.log();

  // The click also gives noVNC's canvas the keyboard focus.
  ASSERT_EQ(browser.ask("click 200 200"), "clicked") << browser.log();
  ASSERT_EQ(browser.ask("type kwo"), "typed") << browser.log();
  PatternDisplay::Input input;
  EXPECT_TRUE(pollUntil([&] {
    display.readInput(input);
    return input.clicks == 1 && input.typed == "kwo";
  })) << "typed '" << input.typed << "'\n" << serve.log();
}

} // namespace kwoserve::test
