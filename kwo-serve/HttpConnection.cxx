#include "kwo-serve/HttpConnection.h"

#include "base/io/FdManager.h"
#include "base/io/FdSelectManager.h"
#include "base/plat/LogSrc.h"
#include "kwo-serve/OriginPolicy.h"
#include "kwo-serve/RequestHead.h"

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace kwoserve {

namespace {

plat::LogSrc vlog("HttpConnection");

// A longer head is refused: browsers send a few hundred bytes.
constexpr size_t maxHeadSize = 16384;
// Files go out in pieces of this size: memory stays bounded per connection.
constexpr size_t chunkSize = 64 * 1024;

bool wouldBlock() {
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

} // namespace

HttpConnection::HttpConnection(int fd, const Site& site)
    : io::FdHandler(fd), site_(site), started_(Clock::now()), lastProgress_(started_) {
  manager_ = io::FdManager::current();
  if (!manager_)
    manager_ = &io::FdSelectManager::instance();
  manager_->addHandler(*this);
  manager_->setEvents(*this, true, false);
}

HttpConnection::~HttpConnection() {
  if (manager_) {
    manager_->setEvents(*this, false, false);
    manager_->removeHandler(*this);
  }
  if (fd_ >= 0)
    close(fd_);
}

void HttpConnection::checkDeadline(Clock::time_point now) {
  bool late = false;
  if (state_ == State::Reading)
    late = now - started_ > headDeadline;
  else if (state_ == State::Writing)
    late = now - lastProgress_ > idleDeadline;
  else if (state_ == State::Draining)
    late = now - lastProgress_ > drainDeadline;
  if (late)
    finish();
}

void HttpConnection::handleRead() {
  if (state_ == State::Reading) {
    peekHead();
    return;
  }
  // What follows the head (a body, more requests) is read and dropped.
  char buffer[4096];
  for (;;) {
    ssize_t n = recv(fd_, buffer, sizeof(buffer), 0);
    if (n < 0 && wouldBlock())
      return;
    if (n <= 0) {
      finish();
      return;
    }
  }
}

void HttpConnection::peekHead() {
  std::string peeked(maxHeadSize + 1, '\0');
  ssize_t n = recv(fd_, peeked.data(), peeked.size(), MSG_PEEK);
  if (n < 0 && wouldBlock())
    return;
  if (n <= 0) {
    finish();
    return;
  }
  peeked.resize(size_t(n));
  size_t end = peeked.find("\r\n\r\n");
  if (end != std::string::npos) {
    handleHead(end + 4, peeked.substr(0, end));
    return;
  }
  if (peeked.size() > maxHeadSize) {
    handleHead(0, {});
    return;
  }
  // A peer that closed after part of a head: the peek would keep finding
  // the same bytes.
  pollfd p{fd_, POLLRDHUP, 0};
  if (poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR))) {
    finish();
    return;
  }
  // Woken again only when more than what is there has come.
  setLowWaterMark(n + 1);
}

void HttpConnection::handleHead(size_t headLength, const std::string& head) {
  setLowWaterMark(1);
  RequestHead request(head);
  if (headLength > 0 && request.isWebSocketUpgrade()) {
    std::optional<std::string> origin = request.header("Origin");
    if (!site_.origins || !site_.origins->allows(origin) || !site_.webSocket) {
      vlog.error("WebSocket request from origin %s refused (allow it with -wsorigin)",
                 origin ? origin->c_str() : "(none)");
    } else {
      manager_->setEvents(*this, false, false);
      manager_->removeHandler(*this);
      manager_ = nullptr;
      state_ = State::Finished;
      site_.webSocket(std::exchange(fd_, -1));
      return;
    }
  }
  // Consumes the head; what follows is dropped while answering.
  std::string discard(headLength, '\0');
  if (headLength > 0 && recv(fd_, discard.data(), headLength, 0) != ssize_t(headLength)) {
    finish();
    return;
  }
  if (headLength == 0)
    answer(HttpFiles::failure("431 Request Header Fields Too Large"));
  else if (request.isWebSocketUpgrade())
    answer(HttpFiles::failure("403 Forbidden"));
  else if (!site_.files)
    answer(HttpFiles::failure("404 Not Found", request.method() != "HEAD"));
  else
    answer(site_.files->respond(head));
}

void HttpConnection::answer(HttpFiles::Response response) {
  response_ = std::move(response);
  chunk_ = std::move(response_.text);
  chunkSent_ = 0;
  fileOffset_ = 0;
  state_ = State::Writing;
  lastProgress_ = Clock::now();
  manager_->setEvents(*this, true, true);
  handleWrite();
}

bool HttpConnection::fillChunk() {
  chunk_.clear();
  chunkSent_ = 0;
  if (!response_.file || fileOffset_ >= response_.fileSize)
    return false;
  chunk_.resize(size_t(std::min<off_t>(chunkSize, response_.fileSize - fileOffset_)));
  ssize_t n = pread(response_.file.get(), chunk_.data(), chunk_.size(), fileOffset_);
  if (n <= 0) {
    // The file shrank or failed: the length promised cannot be kept.
    chunk_.clear();
    return false;
  }
  chunk_.resize(size_t(n));
  fileOffset_ += n;
  return true;
}

void HttpConnection::handleWrite() {
  if (state_ != State::Writing)
    return;
  for (;;) {
    while (chunkSent_ < chunk_.size()) {
      ssize_t n = send(fd_, chunk_.data() + chunkSent_, chunk_.size() - chunkSent_, MSG_NOSIGNAL);
      if (n < 0 && wouldBlock())
        return;
      if (n <= 0) {
        finish();
        return;
      }
      chunkSent_ += size_t(n);
      lastProgress_ = Clock::now();
    }
    if (!fillChunk())
      break;
  }
  bool complete = !response_.file || fileOffset_ >= response_.fileSize;
  response_ = {};
  chunk_ = std::string();
  if (!complete) {
    finish();
    return;
  }
  shutdown(fd_, SHUT_WR);
  state_ = State::Draining;
  lastProgress_ = Clock::now();
  manager_->setEvents(*this, true, false);
}

void HttpConnection::setLowWaterMark(int bytes) {
  setsockopt(fd_, SOL_SOCKET, SO_RCVLOWAT, &bytes, sizeof(bytes));
}

void HttpConnection::finish() {
  state_ = State::Finished;
  if (manager_)
    manager_->setEvents(*this, false, false);
}

} // namespace kwoserve
