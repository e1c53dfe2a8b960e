#pragma once

// One connection of kwo-serve's HTTP port (and of its WebSocket port): reads
// one request head, then either hands the connection over as a WebSocket
// viewer, or writes the answer without blocking the loop (a file is sent
// from disk in pieces), then waits for the peer to close (so that the answer
// is not cut short by a reset) and is finished.
//
// The head is only peeked at, not read: a WebSocket request must still be
// waiting in the socket when LibVNCServer takes the connection over. While
// the head is incomplete, the socket's low-water mark asks for more than
// what is already there, so that the loop is woken by new bytes only.
//
// Deadlines keep idle peers from holding a connection: the whole head must
// come within headDeadline, an answer may make no progress for longer than
// idleDeadline, and the peer has drainDeadline to close after the answer.
//
// Ownership: owns the socket (until it is handed over) and closes it on
// destruction; the Site must outlive it. Its owner destroys it once
// finished() (never from within its own callbacks).

#include "base/io/FdHandler.h"
#include "base/io/UniqueFd.h"
#include "kwo-serve/HttpFiles.h"

#include <chrono>
#include <functional>
#include <string>

namespace io {
class FdManager;
}

namespace kwoserve {

class OriginPolicy;

class HttpConnection : private io::FdHandler {
public:
  using Clock = std::chrono::steady_clock;

  struct Site {
    // Files to serve; null answers every file request with 404.
    const HttpFiles* files = nullptr;
    const OriginPolicy* origins = nullptr;
    // Takes a WebSocket request's connection (the head still unread) whose
    // Origin the policy allows.
    std::function<void(int fd)> webSocket;
  };

  static constexpr auto headDeadline = std::chrono::seconds(10);
  static constexpr auto idleDeadline = std::chrono::seconds(30);
  static constexpr auto drainDeadline = std::chrono::seconds(5);

  // `fd`: a connected, non-blocking socket.
  HttpConnection(int fd, const Site& site);
  ~HttpConnection() override;
  HttpConnection(const HttpConnection&) = delete;
  HttpConnection& operator=(const HttpConnection&) = delete;

  bool finished() const { return state_ == State::Finished; }
  // Still waiting for a request head (an idle connection).
  bool reading() const { return state_ == State::Reading; }
  Clock::time_point started() const { return started_; }
  // Finishes the connection when its current deadline has passed.
  void checkDeadline(Clock::time_point now);
  void finish();

private:
  enum class State { Reading, Writing, Draining, Finished };

  void handleRead() override;
  void handleWrite() override;
  void fdManagerGone() override { manager_ = nullptr; }
  void peekHead();
  void handleHead(size_t headLength, const std::string& head);
  void answer(HttpFiles::Response response);
  bool fillChunk();
  void setLowWaterMark(int bytes);

  io::FdManager* manager_;
  const Site& site_;
  State state_ = State::Reading;
  Clock::time_point started_;
  Clock::time_point lastProgress_;
  HttpFiles::Response response_;
  std::string chunk_;
  size_t chunkSent_ = 0;
  off_t fileOffset_ = 0;
};

} // namespace kwoserve
