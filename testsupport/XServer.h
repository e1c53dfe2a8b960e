#pragma once

// What the private X servers of the tests (XvfbServer, XorgDummyServer)
// share: the server runs in a private directory that holds its output
// (output.txt) and any files of its own, picks a free display number itself
// and reports it through -displayfd, so that parallel runs never collide.
// Starting returns once the server completes a client's connection set-up;
// the destructor stops and reaps it and removes the directory. A server
// that cannot be started is an error, never a skip: std::runtime_error
// carrying the server's own output.

#include "testsupport/TempDir.h"

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport {

class XServer {
public:
  virtual ~XServer();
  XServer(const XServer&) = delete;
  XServer& operator=(const XServer&) = delete;

  // ":<number>".
  const std::string& displayName() const { return displayName_; }
  // The server process.
  pid_t pid() const { return pid_; }
  // Sets $DISPLAY to displayName().
  void exportDisplay() const;

protected:
  XServer() = default;

  // The private directory, for the server's files made before start().
  const std::string& dir() const { return dir_.path(); }
  // Runs `args` (argv[0] looked up in PATH, "-displayfd N" appended) and
  // waits until it serves clients. Throws as described above.
  void start(std::vector<std::string> args, std::chrono::milliseconds deadline);

private:
  [[noreturn]] void fail(const std::string& why);
  void stop();

  pid_t pid_ = -1;
  int number_ = -1;
  std::string program_;
  std::string displayName_;
  TempDir dir_{"kwo-xserver"};
};

} // namespace testsupport
