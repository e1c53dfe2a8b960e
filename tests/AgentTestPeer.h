#pragma once

// A minimal stand-in for the server, for end-to-end tests of the agent
// binary: it listens on a Unix socket in a private directory (or hands the
// agent one end of a socket pair), launches the agent, proves itself with
// the 32-byte hash challenge, and then exchanges framed messages through
// the real framed streams. Every wait has a generous deadline; a deadline
// that passes throws plat::TimedOut, which fails the test.

#include "base/rdr/FdInStream.h"
#include "base/rdr/FdOutStream.h"
#include "base/rdr/InStreamV4.h"
#include "base/rdr/OutStreamV4.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace e2e {

class AgentTestPeer {
public:
  // How the agent finds its way back.
  enum class Pipe {
    socketPath,    // a socket path, with "-hash" and the 32-byte challenge
    descriptor,    // an inherited descriptor given by number
    dummy,         // "-dummy": standard input is the connection
  };

  struct Message {
    std::string name;
    std::vector<uint8_t> payload;
  };

  static constexpr std::chrono::seconds deadline{60};

  // `display` becomes the agent's $DISPLAY.
  explicit AgentTestPeer(std::string display);
  ~AgentTestPeer();
  AgentTestPeer(const AgentTestPeer&) = delete;
  AgentTestPeer& operator=(const AgentTestPeer&) = delete;

  // Starts the agent ("user" mode) and connects to it. With a socket path
  // and `wrongHash`, the challenge bytes do not match the hash given on the
  // command line.
  void launch(Pipe pipe, bool wrongHash = false, const std::vector<std::string>& extraArgs = {});

  // The next message; throws plat::TimedOut, or rdr::EndOfStream when the
  // agent closed the connection.
  Message receive();
  // Messages until one named `name` (returned); the others are kept in
  // skipped().
  Message receiveUntil(const std::string& name);
  // Every message until the agent closes the connection.
  std::vector<Message> receiveUntilClosed();
  const std::vector<Message>& skipped() const { return skipped_; }

  void send(const std::string& name, const std::function<void(rdr::OutStream&)>& payload = {});
  // A message whose name the channel refuses at once (it starts below 'A'):
  // the agent's channel closes.
  void sendChannelBreaker();
  // Closes the connection from this side.
  void disconnect();

  void signal(int signal);
  // The agent's exit status; throws plat::TimedOut when it does not end.
  int waitForExit();
  // What the agent wrote on standard error (only seen until it redirects it).
  std::string stderrText() const;

  pid_t pid() const { return pid_; }

private:
  void makeListener();
  void spawn(const std::vector<std::string>& argv, int connectionFd, int childFd);
  int acceptAgent();
  void attach(int fd);
  void wait(int fd, short events);

  std::string display_;
  std::string dir_;
  std::string socketPath_;
  int listenFd_ = -1;
  int fd_ = -1;
  pid_t pid_ = -1;
  std::optional<int> exitStatus_;
  std::unique_ptr<rdr::FdInStream> in_;
  std::unique_ptr<rdr::FdOutStream> out_;
  std::unique_ptr<rdr::InStreamV4> framedIn_;
  std::unique_ptr<rdr::OutStreamV4> framedOut_;
  std::vector<Message> skipped_;
};

} // namespace e2e
