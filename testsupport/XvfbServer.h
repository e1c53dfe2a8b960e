#pragma once

// A private X server (Xvfb) for one test or one test binary. Xvfb picks a
// free display number itself and reports it through -displayfd, so parallel
// test runs never collide. The constructor returns once the server accepts
// connections; the destructor stops and reaps it. A server that cannot be
// started (Xvfb missing, bad options) is an error, never a skip: the
// constructor throws std::runtime_error with the server's own output.

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport {

class XvfbServer {
public:
  struct Options {
    int width = 1024;
    int height = 768;
    // 8 gives a PseudoColor default visual; 16, 24 give TrueColor.
    int depth = 24;
    // Extensions to switch off, e.g. "DAMAGE", "XFIXES", "RANDR", "MIT-SHM".
    std::vector<std::string> disabledExtensions;
    std::vector<std::string> extraArguments;
    // Also set $DISPLAY to this server (for code that opens "the" display).
    bool exportDisplay = false;
    std::chrono::milliseconds startDeadline = std::chrono::seconds(60);
  };

  XvfbServer();
  explicit XvfbServer(const Options& options);
  ~XvfbServer();
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  // ":<number>".
  const std::string& displayName() const { return displayName_; }
  int displayNumber() const { return number_; }
  // The server process.
  pid_t pid() const { return pid_; }
  // Sets $DISPLAY to displayName().
  void exportDisplay() const;
  // What the server wrote to its standard output and error so far.
  std::string log() const;

  // One server shared by every test of the process (default options, also
  // exported as $DISPLAY), started on first use and stopped at exit. It is
  // the server for code that holds a process-wide connection.
  static XvfbServer& shared();

private:
  void start(const Options& options);
  int readDisplayNumber(int fd, std::chrono::steady_clock::time_point end);
  void waitUntilAccepting(std::chrono::steady_clock::time_point end);
  bool exitedEarly();
  [[noreturn]] void fail(const std::string& why);
  void stop();

  pid_t pid_ = -1;
  int number_ = -1;
  std::string displayName_;
  std::string logPath_;
};

} // namespace testsupport
