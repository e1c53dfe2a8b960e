#pragma once

// The place where a launched agent connects back: a fresh private directory
// (mkdtemp, mode 0700, so that only this user can reach what is inside) with
// one listening Unix-domain socket "agent.sock" in it.
//
// Ownership: owns the directory, the socket file and the listening
// descriptor; close() (also run by the destructor) stops listening and
// removes the socket file and the directory, leaving nothing behind.
// Threading: the loop thread only; connections are reported from the
// thread's descriptor manager.
// Failures: the constructor throws plat::Exception for a base path too long
// for a socket address and plat::SystemException for failing calls, after
// removing whatever it made.

#include "base/io/FdHandler.h"
#include "base/io/UniqueFd.h"

#include <string>
#include <sys/socket.h>

namespace io {
class FdManager;
}

namespace agenthost {

class AgentSocket : private io::FdHandler {
public:
  class Callback {
  public:
    // A connection arrived; `peer` is what the kernel says about the
    // connecting process (pid -1 when it said nothing). The callback owns
    // the descriptor from now on.
    virtual void connectionArrived(AgentSocket& socket, io::UniqueFd fd, const ucred& peer) = 0;

  protected:
    ~Callback() = default;
  };

  // Makes "<base>/kwoagent-XXXXXX/agent.sock" and listens on it. `manager`
  // (not owned) must outlive the object or tell it it is gone.
  AgentSocket(Callback& callback, const std::string& base, io::FdManager& manager);
  ~AgentSocket() override;
  AgentSocket(const AgentSocket&) = delete;
  AgentSocket& operator=(const AgentSocket&) = delete;

  const std::string& path() const { return path_; }
  const std::string& directory() const { return directory_; }
  bool listening() const { return bool(listener_); }

  // Stops listening and removes the socket file and directory. Idempotent.
  void close();

private:
  void listen();

  // io::FdHandler
  void handleRead() override;
  void handleWrite() override {}
  void fdManagerGone() override;

  Callback& callback_;
  io::FdManager* manager_;
  std::string directory_;
  std::string path_;
  io::UniqueFd listener_;
  bool registered_ = false;
};

} // namespace agenthost
