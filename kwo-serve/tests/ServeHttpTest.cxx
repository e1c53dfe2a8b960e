// kwo-serve's HTTP file server (-httpdir), over real sockets.

#include "ServeFixture.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kwoserve::test {

namespace {

// A loopback TCP connection, closed at the end.
class Connection {
public:
  explicit Connection(int port) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~Connection() {
    if (fd_ >= 0)
      close(fd_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  bool connected() const { return fd_ >= 0; }

  // Sends a GET and reads the response until the server closes.
  std::string get(const std::string& path) {
    std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    if (send(fd_, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size()))
      return "(send failed)";
    std::string response;
    auto end = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < end) {
      pollfd pfd{fd_, POLLIN, 0};
      if (poll(&pfd, 1, 100) <= 0)
        continue;
      char buffer[4096];
      ssize_t n = recv(fd_, buffer, sizeof(buffer), 0);
      if (n <= 0)
        return response;
      response.append(buffer, size_t(n));
    }
    return response + "(no end in time)";
  }

private:
  int fd_;
};

} // namespace

class ServeHttp : public testing::Test {
protected:
  ServeHttp() {
    std::ofstream(dir.path() + "/page.html") << "<script type=module src=mod.js></script>";
    std::ofstream(dir.path() + "/mod.js") << "export const x = 1;";
  }

  PatternDisplay display;
  testsupport::TempDir dir{"kwo-serve-http"};
  int httpPort = freePort();
};

// Used to fail: each new connection closed the one before, so a browser
// loading a page's modules over several connections lost most of them.
TEST_F(ServeHttp, ServesSeveralConnectionsAtOnce) {
  ServeRun serve(display.name(), {"-httpdir", dir.path(), "-httpport", std::to_string(httpPort)});
  ASSERT_TRUE(serve.waitListening()) << serve.log();
  ASSERT_TRUE(serve.waitLog("over HTTP on port " + std::to_string(httpPort))) << serve.log();

  std::vector<std::unique_ptr<Connection>> connections;
  for (int i = 0; i < 8; i++) {
    connections.push_back(std::make_unique<Connection>(httpPort));
    ASSERT_TRUE(connections.back()->connected());
  }
  // Last opened first: by then the server has accepted all the others.
  for (int i = 7; i >= 0; i--) {
    SCOPED_TRACE(i);
    std::string path = i % 2 ? "/mod.js" : "/page.html";
    std::string response = connections[size_t(i)]->get(path);
    EXPECT_EQ(response.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << response;
    std::string type = i % 2 ? "text/javascript" : "text/html; charset=utf-8";
    EXPECT_NE(response.find("Content-Type: " + type + "\r\n"), std::string::npos) << response;
    std::string body = i % 2 ? "export const x = 1;" : "<script type=module src=mod.js></script>";
    EXPECT_EQ(response.substr(response.find("\r\n\r\n") + 4), body);
  }
  EXPECT_EQ(Connection(httpPort).get("/../etc/passwd").rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u);
}

TEST_F(ServeHttp, AFolderThatIsNoneEndsKwoServeWithAMessage) {
  ServeRun serve(display.name(), {"-httpdir", dir.path() + "/none", "-httpport",
                                  std::to_string(httpPort)});
  EXPECT_EQ(serve.waitExit(), 1);
  EXPECT_NE(serve.log().find("cannot serve " + dir.path() + "/none: not a folder"),
            std::string::npos)
      << serve.log();
}

} // namespace kwoserve::test
