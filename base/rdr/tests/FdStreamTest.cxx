#include "base/plat/Exception.h"
#include "base/rdr/FdInStream.h"
#include "base/rdr/FdOutStream.h"
#include "base/rdr/tests/StreamTestSupport.h"
#include "testsupport/SocketPeer.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>

namespace rdr {
namespace {

using test::bytesOf;
using testsupport::SocketPeer;
using test::thrown;

// The start of the text of the SystemException that `body` throws, and its error number.
template <class Body>
std::pair<int, std::string> systemError(Body body) {
  try {
    body();
  } catch (const plat::SystemException& e) {
    std::string text = e.str();
    return {e.err(), text.substr(0, text.find(':'))};
  }
  ADD_FAILURE() << "no exception";
  return {};
}

// Our end of the socket without O_NONBLOCK would make a non-blocking stream wait.
int nonBlocking(int fd) {
  ::fcntl(fd, F_SETFL, O_NONBLOCK);
  return fd;
}

TEST(FdInStream, TimeoutsAndErrors) {
  for (bool nonBlockingFd : {false, true}) {
    SCOPED_TRACE(nonBlockingFd ? "non-blocking descriptor" : "blocking descriptor");
    SocketPeer pair;
    FdInStream in(nonBlockingFd ? nonBlocking(pair.ours()) : pair.ours(), 20);
    EXPECT_EQ(thrown<plat::TimedOut>([&] { in.readU8(); }, true), "TimedOut: Timed out");
  }
  SocketPeer pair;
  pair.send(bytesOf("data"));
  FdInStream marked(nonBlocking(pair.ours()));
  marked.setNonBlocking(true);
  marked.setTimedOut(true);
  EXPECT_THROW(marked.readU8(), plat::TimedOut) << "marked timed out, even with data waiting";
  marked.setTimedOut(false);
  EXPECT_EQ(marked.readU8(), 'd');

  FdInStream bad(-1);
  EXPECT_EQ(systemError([&] { bad.readU8(); }), std::make_pair(EBADF, std::string("read")));
  FdInStream noBuffer(pair.ours(), -1, 0);
  EXPECT_EQ(thrown([&] { noBuffer.readU8(); }), "Too much data for InStream buffer");
  FdInStream small(pair.ours(), -1, 8);
  small.setNonBlocking(true);
  pair.send(std::vector<uint8_t>(16, 1));
  uint8_t out[12];
  EXPECT_EQ(thrown([&] { small.readBytes(out, sizeof out); }), "InStream overrun: buffer size exceeded");
}

TEST(FdInStream, RewindOnlyInNonBlockingMode) {
  SocketPeer pair;
  FdInStream in(pair.ours(), -1, 16);
  EXPECT_EQ(thrown([&] { in.rewind(); }), "Attempt to rewind a non-rewindable stream");
  in.setNonBlocking(true);
  EXPECT_NO_THROW(in.rewind());
  // A blocking reader that never checkpoints used to keep everything since
  // the last checkpoint and run out of buffer.
  in.setNonBlocking(false);
  EXPECT_FALSE(in.rewindOnBlock());
  pair.send(std::vector<uint8_t>(100, 7));
  in.skip(100);
  EXPECT_EQ(in.pos(), 100u);
}

// Records the reports of an output stream in order.
struct RecordingCallback : FdOutStream::Callback {
  std::string events;
  void outputPending(FdOutStream&) override { events += 'P'; }
  void outputDrained(FdOutStream&) override { events += 'D'; }
  void halfCloseRequested(FdOutStream&) override { events += 'H'; }
};

TEST(FdOutStream, BacklogIsReportedPendingUntilDrained) {
  SocketPeer pair;
  RecordingCallback callback;
  FdOutStream out(pair.ours());
  out.setCallback(&callback);
  out.setNonBlocking(true);
  auto data = test::pattern(4 << 20, 11);
  out.writeBytes(data.data(), data.size());
  out.flush();
  ASSERT_GT(out.bufferedBytes(), 0u) << "more than the socket holds";
  EXPECT_EQ(callback.events.substr(0, 1), "P");
  EXPECT_EQ(callback.events.find('D'), std::string::npos);
  // While the peer reads nothing, attempts make no progress and report
  // nothing: the owner's timer for an unresponsive peer must not restart.
  callback.events.clear();
  out.writePending(false);
  out.flush();
  EXPECT_EQ(callback.events, "");

  std::vector<uint8_t> received;
  for (int rounds = 0; rounds < 100000 && !out.writePending(false); rounds++)
    pair.receive(received);
  pair.receive(received);
  EXPECT_EQ(received, data);
  EXPECT_EQ(std::count(callback.events.begin(), callback.events.end(), 'D'), 1);
  EXPECT_EQ(callback.events.back(), 'D');
}

TEST(FdOutStream, StalledOrClosedPeerFailsTheWrite) {
  SocketPeer stalled;
  FdOutStream slow(nonBlocking(stalled.ours()), 20);
  auto data = test::pattern(4 << 20, 11);
  EXPECT_EQ(thrown<plat::TimedOut>([&] { slow.writeBytes(data.data(), data.size()); slow.flush(); }),
            "Timed out");

  SocketPeer gone;
  gone.close();
  FdOutStream out(gone.ours());
  out.writeU32(1);
  EXPECT_EQ(systemError([&] { out.flush(); }), std::make_pair(EPIPE, std::string("write")))
    << "an error, not a signal";
}

// send() refuses a pipe (ENOTSOCK): the stream falls back to write().
TEST(FdOutStream, WritesToAPipe) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  FdOutStream out(fds[1]);
  out.writeShortString("pipe");
  out.flush();
  FdInStream in(fds[0]);
  EXPECT_EQ(in.readShortString(), "pipe");
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST(FdOutStream, HalfCloseIsLeftToTheOwnerWhenThereIsOne) {
  SocketPeer pair;
  RecordingCallback callback;
  {
    FdOutStream out(pair.ours());
    out.setCallback(&callback);
    out.writeU8(1);
    out.halfClose();
    EXPECT_EQ(callback.events, "H");
    EXPECT_EQ(out.bufferedBytes(), 1u) << "nothing written yet";
    out.setCallback(nullptr);
    out.halfClose();
  }
  std::vector<uint8_t> got;
  EXPECT_FALSE(pair.receive(got)) << "the sending direction is shut down";
  EXPECT_EQ(got, std::vector<uint8_t>{1});
}

} // namespace
} // namespace rdr
