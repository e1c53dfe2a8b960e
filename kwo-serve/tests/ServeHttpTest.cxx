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

// The resident memory of a process (VmRSS).
long residentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0)
      return std::stol(line.substr(6));
  return -1;
}

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

// Used to fail: 64 idle connections took every slot, for as long as they stayed.
TEST_F(ServeHttp, IdleConnectionsDoNotKeepAClientOut) {
  ServeRun serve(display.name(), {"-httpdir", dir.path(), "-httpport", std::to_string(httpPort)});
  ASSERT_TRUE(serve.waitLog("over HTTP on port " + std::to_string(httpPort))) << serve.log();
  std::vector<std::unique_ptr<Connection>> idle;
  for (int i = 0; i < 80; i++)
    idle.push_back(std::make_unique<Connection>(httpPort));
  std::string response = Connection(httpPort).get("/page.html");
  EXPECT_EQ(response.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << response << serve.log();
}

// Used to fail: each response was built whole in memory (60 GETs of a 60 MB
// file that were never read took 3.6 GB).
TEST_F(ServeHttp, ClientsThatDoNotReadALargeFileKeepMemoryBounded) {
  constexpr off_t fileSize = 64 << 20;
  constexpr int clients = 32;
  std::string big = dir.path() + "/big.bin";
  std::ofstream{big};
  ASSERT_EQ(truncate(big.c_str(), fileSize), 0);
  ServeRun serve(display.name(), {"-httpdir", dir.path(), "-httpport", std::to_string(httpPort)});
  ASSERT_TRUE(serve.waitLog("over HTTP on port " + std::to_string(httpPort))) << serve.log();
  long before = residentKiB(serve.pid());

  std::vector<std::unique_ptr<Connection>> readers;
  for (int i = 0; i < clients; i++) {
    readers.push_back(std::make_unique<Connection>(httpPort));
    ASSERT_TRUE(readers.back()->send("GET /big.bin HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
  }
  // Every answer has begun (and stalled): the server has done what it can.
  for (auto& reader : readers) {
    std::string head = reader->read([](const std::string& data) {
      return data.find("\r\n\r\n") != std::string::npos;
    });
    ASSERT_NE(head.find("Content-Length: " + std::to_string(fileSize)), std::string::npos) << head;
  }
  long grown = residentKiB(serve.pid()) - before;
  EXPECT_LT(grown, 32 * 1024) << "KiB more while " << clients << " clients stall";
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
