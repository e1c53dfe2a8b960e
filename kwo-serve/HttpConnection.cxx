#include "kwo-serve/HttpConnection.h"

#include "base/io/FdManager.h"
#include "base/io/FdSelectManager.h"
#include "kwo-serve/HttpFiles.h"

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace kwoserve {

namespace {

// A longer head is refused: browsers send a few hundred bytes.
constexpr size_t maxHeadSize = 16384;

bool wouldBlock() {
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

} // namespace

HttpConnection::HttpConnection(int fd, const HttpFiles& files)
    : io::FdHandler(fd), files_(files) {
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
  close(fd_);
}

void HttpConnection::handleRead() {
  char buffer[4096];
  for (;;) {
    ssize_t n = recv(fd_, buffer, sizeof(buffer), 0);
    if (n < 0 && wouldBlock())
      return;
    if (n <= 0) {
      finish();
      return;
    }
    // What follows the head (a body, more requests) is read and dropped.
    if (state_ != State::Reading)
      continue;
    request_.append(buffer, size_t(n));
    size_t end = request_.find("\r\n\r\n");
    if (end != std::string::npos)
      answer(files_.respond(request_.substr(0, end)));
    else if (request_.size() > maxHeadSize)
      answer(HttpFiles::failure("431 Request Header Fields Too Large"));
    if (state_ == State::Finished)
      return;
  }
}

void HttpConnection::answer(const std::string& response) {
  request_.clear();
  response_ = response;
  state_ = State::Writing;
  manager_->setEvents(*this, true, true);
  handleWrite();
}

void HttpConnection::handleWrite() {
  if (state_ != State::Writing)
    return;
  while (sent_ < response_.size()) {
    ssize_t n = send(fd_, response_.data() + sent_, response_.size() - sent_, MSG_NOSIGNAL);
    if (n < 0 && wouldBlock())
      return;
    if (n <= 0) {
      finish();
      return;
    }
    sent_ += size_t(n);
  }
  response_.clear();
  shutdown(fd_, SHUT_WR);
  state_ = State::Draining;
  manager_->setEvents(*this, true, false);
}

void HttpConnection::finish() {
  state_ = State::Finished;
  if (manager_)
    manager_->setEvents(*this, false, false);
}

} // namespace kwoserve
