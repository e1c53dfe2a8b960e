#include "kwo-serve/SlowViewers.h"

#include "kwo-serve/ClientHandOver.h"
#include "kwo-serve/ListenSockets.h"
#include "kwo-serve/WriteWatchdog.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kwoserve {

namespace {

// A LibVNCServer screen without listeners, and one viewer on a loopback
// connection whose far end the test controls.
class OneViewer {
public:
  OneViewer() {
    int argc = 1;
    char name[] = "test";
    char* argv[] = {name, nullptr};
    screen_ = rfbGetScreen(&argc, argv, 16, 16, 8, 3, 4);
    screen_->frameBuffer = frameBuffer_;
    screen_->socketState = RFB_SOCKET_READY;
    rfbInitServer(screen_);
    ListenSockets listener("127.0.0.1", 0, "test");
    int listenFd = listener.descriptors().front();
    sockaddr_in addr{};
    socklen_t length = sizeof(addr);
    getsockname(listenFd, reinterpret_cast<sockaddr*>(&addr), &length);
    peer_ = socket(AF_INET, SOCK_STREAM, 0);
    connect(peer_, reinterpret_cast<sockaddr*>(&addr), length);
    int fd = -1;
    while (fd < 0)
      fd = ListenSockets::accept(listenFd);
    client_ = ClientHandOver::plain(screen_, fd);
    // As if the handshake were done.
    client_->state = rfbClientRec::RFB_NORMAL;
  }
  ~OneViewer() {
    close(peer_);
    // Lets LibVNCServer forget a viewer that was dropped.
    rfbProcessEvents(screen_, 0);
    rfbShutdownServer(screen_, TRUE);
    screen_->frameBuffer = nullptr;
    rfbScreenCleanup(screen_);
  }

  rfbScreenInfoPtr screen() { return screen_; }
  rfbClientPtr client() { return client_; }
  // Queues bytes the peer does not read, until the socket is full.
  void clog() {
    std::vector<char> data(256 * 1024);
    while (send(client_->sock, data.data(), data.size(), MSG_DONTWAIT | MSG_NOSIGNAL) > 0) {
    }
  }
  // Reads everything queued.
  void drain() {
    char buffer[65536];
    while (recv(peer_, buffer, sizeof(buffer), MSG_DONTWAIT) > 0 || errno == EINTR) {
    }
  }

private:
  char frameBuffer_[16 * 16 * 4] = {};
  rfbScreenInfoPtr screen_;
  rfbClientPtr client_;
  int peer_;
};

} // namespace

TEST(SlowViewers, AViewerThatDoesNotReadIsHeldThenReleasedOrDroppedAfterTheLimit) {
  OneViewer viewer;
  SlowViewers slow;
  SlowViewers::Clock::time_point t{};
  EXPECT_TRUE(slow.check(viewer.screen(), t).empty());
  EXPECT_FALSE(viewer.client()->onHold);

  viewer.clog();
  EXPECT_EQ(slow.check(viewer.screen(), t), std::vector<int>{viewer.client()->sock});
  EXPECT_TRUE(viewer.client()->onHold);
  // Once the peer has read, the viewer goes on.
  for (int i = 0; i < 100000 && viewer.client()->onHold; i++) {
    viewer.drain();
    slow.check(viewer.screen(), t);
  }
  EXPECT_FALSE(viewer.client()->onHold);

  // Held for longer than the limit: dropped.
  viewer.clog();
  slow.check(viewer.screen(), t);
  slow.check(viewer.screen(), t + SlowViewers::dropAfter);
  EXPECT_NE(viewer.client()->sock, RFB_INVALID_SOCKET);
  slow.check(viewer.screen(), t + SlowViewers::dropAfter + std::chrono::seconds(1));
  EXPECT_EQ(viewer.client()->sock, RFB_INVALID_SOCKET);
}

// Used to fail: a write to a full socket stopped the loop for 5 s or more.
TEST(WriteWatchdog, AWriteWaitingOnAStuckViewerIsCutShort) {
  OneViewer viewer;
  int fd = viewer.client()->sock;
  viewer.clog();
  WriteWatchdog watchdog;
  watchdog.arm({fd});
  // Waits as LibVNCServer does for room to write; the cut ends the wait.
  fd_set writable;
  FD_ZERO(&writable);
  FD_SET(fd, &writable);
  timeval timeout{30, 0};
  EXPECT_EQ(select(fd + 1, nullptr, &writable, nullptr, &timeout), 1);
  EXPECT_EQ(watchdog.disarm(), std::vector<int>{fd});
  char byte = 0;
  EXPECT_LT(send(fd, &byte, 1, MSG_NOSIGNAL), 0);
}

} // namespace kwoserve
