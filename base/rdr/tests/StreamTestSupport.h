#pragma once

// Helpers shared by the stream tests: a connected socket pair and the
// reference big-endian encoding the streams are checked against.

#include "base/plat/Exception.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace rdr::test {

// Both ends of a Unix stream socket pair, closed on destruction.
struct SocketPair {
  int reader = -1;
  int writer = -1;

  explicit SocketPair(bool nonBlocking = true) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0, fds) != 0)
      throw std::runtime_error("socketpair failed");
    reader = fds[0];
    writer = fds[1];
  }
  ~SocketPair() {
    closeReader();
    closeWriter();
  }
  SocketPair(const SocketPair&) = delete;
  SocketPair& operator=(const SocketPair&) = delete;

  void closeReader() { closeFd(reader); }
  void closeWriter() { closeFd(writer); }

  // Writes all bytes to the writer end (small amounts: the socket buffer takes them).
  void send(const uint8_t* data, size_t n) const {
    ASSERT_EQ(::write(writer, data, n), ssize_t(n)) << "write to socket pair failed";
  }
  void send(const std::vector<uint8_t>& bytes) const { send(bytes.data(), bytes.size()); }

  // Everything that can be read from the reader end now (it must be non-blocking).
  std::vector<uint8_t> drain() const {
    std::vector<uint8_t> got;
    uint8_t chunk[65536];
    for (ssize_t r; (r = ::read(reader, chunk, sizeof chunk)) > 0;)
      got.insert(got.end(), chunk, chunk + r);
    return got;
  }

private:
  static void closeFd(int& fd) {
    if (fd >= 0)
      ::close(fd);
    fd = -1;
  }
};

// The text of the `E` that `body` throws, after "<type>: " when `withType`;
// "" and a failure when it throws none.
template <class E = plat::Exception, class Body>
std::string thrown(Body body, bool withType = false) {
  try {
    body();
  } catch (const E& e) {
    return withType ? std::string(e.type()) + ": " + e.str() : std::string(e.str());
  }
  ADD_FAILURE() << "no exception";
  return {};
}

inline void appendBE(std::vector<uint8_t>& out, uint64_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; i--)
    out.push_back(uint8_t(v >> (8 * i)));
}

inline void appendText(std::vector<uint8_t>& out, std::string_view text) {
  out.insert(out.end(), text.begin(), text.end());
}

// n pseudo-random bytes, the same for the same seed.
inline std::vector<uint8_t> pattern(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> bytes(n);
  for (auto& b : bytes)
    b = uint8_t(rng());
  return bytes;
}

inline std::vector<uint8_t> bytesOf(std::string_view text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

} // namespace rdr::test
