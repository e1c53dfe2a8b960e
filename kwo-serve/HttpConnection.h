#pragma once

// One HTTP connection of kwo-serve's file server: reads one request head,
// writes the answer without blocking the loop, then waits for the peer to
// close (so that the answer is not cut short by a reset) and is finished.
//
// Ownership: owns the socket and closes it on destruction; the HttpFiles
// must outlive it. Its owner destroys it once finished() (never from within
// its own callbacks).

#include "base/io/FdHandler.h"

#include <string>

namespace io {
class FdManager;
}

namespace kwoserve {

class HttpFiles;

class HttpConnection : private io::FdHandler {
public:
  // `fd`: a connected, non-blocking socket.
  HttpConnection(int fd, const HttpFiles& files);
  ~HttpConnection() override;
  HttpConnection(const HttpConnection&) = delete;
  HttpConnection& operator=(const HttpConnection&) = delete;

  bool finished() const { return state_ == State::Finished; }

private:
  enum class State { Reading, Writing, Draining, Finished };

  void handleRead() override;
  void handleWrite() override;
  void fdManagerGone() override { manager_ = nullptr; }
  void answer(const std::string& response);
  void finish();

  io::FdManager* manager_;
  const HttpFiles& files_;
  State state_ = State::Reading;
  std::string request_;
  std::string response_;
  size_t sent_ = 0;
};

} // namespace kwoserve
