#pragma once

// One launched agent, from the server's side: starts the agent program,
// lets it connect back to a private socket, proves itself with the hash
// challenge, then exchanges messages with it over an io::MsgIpc channel.
//
// Launch contract: the agent runs as
//   PROGRAM MODE [-lppDebug] -hash HEX SOCKET NAME=VALUE...
// (see AgentLaunch) with DISPLAY and the extra environment set. The first
// connection whose peer is the child process itself (SO_PEERCRED; other
// connections are logged and dropped) gets the 32 challenge bytes and then
// becomes the channel; the socket file and its directory are removed at
// once. An agent that does not connect within the timeout is terminated and
// reported as failed, as is one that ends before connecting.
//
// Incoming messages are parsed and handed to the FromAgentHandler given at
// construction; "setPixelBuffer" first updates pixelBuffer(), so the
// handler finds the announced buffer mapped (or, when the announcement
// could not be honoured, not valid(), with the reason logged).
//
// Ownership: owns the child, the socket directory, the channel and the
// mapping; the handler and callback are not owned and must outlive this
// object. The destructor closes the channel, terminates the agent (SIGTERM,
// then SIGKILL after terminateGraceMs), reaps it and removes the socket
// directory; it blocks for at most the grace period.
// Threading: the loop thread only. Everything happens in callbacks of the
// thread's current io::FdManager (the process-wide io::FdSelectManager when
// there is none), which the caller's loop (os::AppLoop) runs; the wait...()
// helpers run that manager themselves and must not be called from inside a
// loop callback. Callbacks must not destroy this object; end it from the
// code that runs the loop.
// Failures: the constructor throws plat::Exception for bad launch settings
// and plat::SystemException when the socket or the process cannot be made
// (nothing is left behind then). Later failures are reported through the
// callback.

#include "base/io/MsgIpc.h"
#include "base/plat/Timer.h"
#include "libs/agenthost/AgentLaunch.h"
#include "libs/agenthost/AgentSocket.h"
#include "libs/agenthost/ExitStatus.h"
#include "libs/agenthost/FromAgentHandler.h"
#include "libs/agenthost/FromAgentReader.h"
#include "libs/agenthost/HashChallenge.h"
#include "libs/agenthost/LaunchedChild.h"
#include "libs/agentmsg/MsgWriter.h"
#include "libs/agenthost/SharedPixelBuffer.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace io {
class FdManager;
}

namespace agenthost {

class AgentProcess : private AgentSocket::Callback,
                     private LaunchedChild::Callback,
                     private io::MsgIpc::Callback,
                     private plat::Timer::Callback,
                     private FromAgentHandler {
public:
  class Callback {
  public:
    // The agent connected and passed the checks; messages flow from now on.
    virtual void agentConnected(AgentProcess& agent) {}
    // The channel to a connected agent ended (the agent closed it, or a
    // receive error; the error was logged).
    virtual void agentDisconnected(AgentProcess& agent) {}
    // The agent never got connected: `reason` says why (timeout, early end).
    virtual void agentFailed(AgentProcess& agent, const std::string& reason) {}
    // The agent process ended and was reaped.
    virtual void agentExited(AgentProcess& agent, const ExitStatus& status) {}

  protected:
    ~Callback() = default;
  };

  enum class State { waiting, connected, disconnected, failed };

  // Launches the agent at once. `handler` and `callback` may be null.
  AgentProcess(const AgentLaunch& launch, FromAgentHandler* handler = nullptr,
               Callback* callback = nullptr,
               LaunchedChild::Watch watch = LaunchedChild::Watch::pidfd);
  ~AgentProcess() override;
  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;

  State state() const { return state_; }
  pid_t pid() const { return child_->pid(); }
  bool running() const { return child_->running(); }
  const std::optional<ExitStatus>& exitStatus() const { return child_->status(); }
  // Why the launch failed; empty unless state() is failed.
  const std::string& failure() const { return failure_; }

  // The hash the agent was given (the bytes themselves are not exposed).
  const std::string& hashHex() const { return challenge_.hashHex(); }
  // The socket and its directory; empty once removed.
  const std::string& socketPath() const { return socket_->path(); }
  const std::string& socketDirectory() const { return socket_->directory(); }
  const std::vector<std::string>& commandLine() const { return commandLine_; }

  // The channel, for sending and for extra readers.
  io::MsgIpc& channel() { return channel_; }
  FromAgentReader& reader() { return reader_; }
  const SharedPixelBuffer& pixelBuffer() const { return pixelBuffer_; }

  // Sends one message (see sendMsg); discarded while not connected.
  template <class Msg>
  void send(const Msg& msg, bool flush = true) {
    agentmsg::sendMsg(channel_, msg, flush);
  }

  // Asks the agent to end (SIGTERM); the end is reported by agentExited.
  void terminate();

  // Blocking helpers (tests, simple tools). Each runs the descriptor manager
  // until its condition holds, or the deadline passes (false).
  //
  // Messages are counted per name: waitForMsg returns true once a message
  // named `name` has arrived that no earlier waitForMsg(name) has taken,
  // so messages that came in while waiting for something else are not
  // missed. It gives up early (false) once the agent is disconnected and
  // has nothing left to take.
  bool waitForMsg(const std::string& name, int timeoutMs);
  bool waitForExit(int timeoutMs);
  bool waitUntil(const std::function<bool()>& condition, int timeoutMs);

private:
  // AgentSocket::Callback
  void connectionArrived(AgentSocket& socket, io::UniqueFd fd, const ucred& peer) override;
  // LaunchedChild::Callback
  void childExited(LaunchedChild& child, const ExitStatus& status) override;
  // io::MsgIpc::Callback
  void ipcClosed(io::MsgIpc& channel) override;
  // plat::Timer::Callback
  bool timerFired(plat::Timer& timer) override;
  // FromAgentHandler
  void setPixelBuffer(const agentmsg::SetPixelBuffer& msg) override;

  void connect(io::UniqueFd fd);
  void fail(const std::string& reason);

  AgentLaunch launch_;
  Callback* callback_;
  io::FdManager& manager_;
  HashChallenge challenge_;
  std::unique_ptr<AgentSocket> socket_;
  std::vector<std::string> commandLine_;
  io::MsgIpc channel_;
  FromAgentReader reader_;
  SharedPixelBuffer pixelBuffer_;
  plat::Timer connectTimer_;
  // Last: the child is stopped before the rest goes.
  std::unique_ptr<LaunchedChild> child_;
  State state_ = State::waiting;
  std::string failure_;
  std::map<std::string, size_t> taken_;
  bool pumping_ = false;
};

} // namespace agenthost
