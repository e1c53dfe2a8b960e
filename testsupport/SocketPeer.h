#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace testsupport {

// A connected pair of Unix stream sockets seen from the test: our end goes
// to the code under test, the peer end stays here (non-blocking) and plays
// the other side of the connection.
class SocketPeer {
public:
  SocketPeer() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
      throw std::runtime_error(std::string("socketpair: ") + std::strerror(errno));
    ours_ = fds[0];
    peer_ = fds[1];
    ::fcntl(peer_, F_SETFL, O_NONBLOCK);
  }
  ~SocketPeer() {
    close();
    if (!taken_)
      ::close(ours_);
  }
  SocketPeer(const SocketPeer&) = delete;
  SocketPeer& operator=(const SocketPeer&) = delete;

  // Our end's descriptor; it stays ours to close until taken.
  int ours() const { return ours_; }
  // Hands our end to an owner that closes it.
  int takeOurs() {
    taken_ = true;
    return ours_;
  }

  // Writes every byte. While the socket buffer is full `whileFull` runs (a
  // pass of the loop that reads our end); without one, and on any error,
  // throws std::runtime_error.
  void send(const void* data, size_t size, const std::function<void()>& whileFull = {}) {
    for (size_t done = 0; done < size;) {
      ssize_t n = ::write(peer_, static_cast<const char*>(data) + done, size - done);
      if (n > 0) {
        done += size_t(n);
      } else if (n < 0 && errno == EAGAIN && whileFull) {
        // Our end's socket buffer is full: let the code under test read.
        whileFull();
      } else {
        throw std::runtime_error(std::string("SocketPeer::send: ") + std::strerror(errno));
      }
    }
  }
  void send(const std::vector<uint8_t>& bytes, const std::function<void()>& whileFull = {}) {
    send(bytes.data(), bytes.size(), whileFull);
  }
  void send(const std::string& text) { send(text.data(), text.size()); }

  // Appends what has arrived to `into`; false once our end is closed and
  // everything before that has been read.
  template <class Bytes>
  bool receive(Bytes& into) {
    char buffer[65536];
    for (;;) {
      ssize_t n = ::read(peer_, buffer, sizeof buffer);
      if (n == 0)
        return false;
      if (n < 0)
        return true;
      into.insert(into.end(), buffer, buffer + n);
    }
  }

  // Closes the peer end, as a peer that goes away.
  void close() {
    if (peer_ >= 0)
      ::close(peer_);
    peer_ = -1;
  }

private:
  int ours_ = -1;
  int peer_ = -1;
  bool taken_ = false;
};

} // namespace testsupport
