#include "base/plat/Exception.h"
#include "base/rdr/FdInStream.h"
#include "base/rdr/FdOutStream.h"
#include "base/rdr/EndOfStream.h"
#include "base/rdr/tests/StreamTestSupport.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <random>

namespace rdr {
namespace {

using test::thrown;
using test::SocketPair;

// Records the reports of the stream in order.
struct RecordingCallback : FdOutStream::Callback {
  std::string events;
  void outputPending(FdOutStream&) override { events += 'P'; }
  void outputDrained(FdOutStream&) override { events += 'D'; }
  void halfCloseRequested(FdOutStream&) override { events += 'H'; }
};

// A non-blocking stream that was given more than the socket buffers hold,
// so that some of it stays behind after the flush.
class FdOutStreamBacklog : public testing::Test {
protected:
  FdOutStreamBacklog() : out(pair.writer), data(test::pattern(4 << 20, 11)) {
    out.setCallback(&callback);
    out.setNonBlocking(true);
    out.writeBytes(data.data(), data.size());
    out.flush();
  }

  SocketPair pair;
  RecordingCallback callback;
  FdOutStream out;
  std::vector<uint8_t> data;
};

TEST_F(FdOutStreamBacklog, ReportsPendingUntilDrained) {
  ASSERT_GT(out.bufferedBytes(), 0u);
  ASSERT_FALSE(callback.events.empty());
  EXPECT_EQ(callback.events.front(), 'P');
  EXPECT_EQ(callback.events.find('D'), std::string::npos);

  std::vector<uint8_t> received;
  for (int rounds = 0; rounds < 100000 && !out.writePending(false); rounds++) {
    auto got = pair.drain();
    received.insert(received.end(), got.begin(), got.end());
  }
  auto rest = pair.drain();
  received.insert(received.end(), rest.begin(), rest.end());
  EXPECT_EQ(received, data);
  EXPECT_EQ(callback.events.back(), 'D');
  EXPECT_EQ(std::count(callback.events.begin(), callback.events.end(), 'D'), 1);
}

TEST_F(FdOutStreamBacklog, NoReportWhileNothingMoves) {
  ASSERT_GT(out.bufferedBytes(), 0u);
  callback.events.clear();
  // The peer reads nothing: repeated attempts make no progress, and the
  // owner's timer for an unresponsive peer must not be restarted.
  out.writePending(false);
  out.flush();
  EXPECT_EQ(callback.events, "");
}

TEST(FdOutStream, BlockingFlushToAStalledPeerTimesOut) {
  SocketPair pair;
  FdOutStream out(pair.writer, 20);
  auto data = test::pattern(4 << 20, 11);
  EXPECT_EQ(thrown<plat::TimedOut>([&] { out.writeBytes(data.data(), data.size()); out.flush(); }),
            "Timed out");
}

TEST(FdOutStream, WritingToAClosedPeerIsAnErrorNotASignal) {
  SocketPair pair;
  pair.closeReader();
  FdOutStream out(pair.writer);
  out.writeU32(1);
  try {
    out.flush();
    FAIL() << "no exception";
  } catch (const plat::SystemException& e) {
    EXPECT_EQ(e.err(), EPIPE);
    EXPECT_EQ(std::string(e.str()).rfind("write: ", 0), 0u) << e.str();
  }
}

TEST(FdOutStream, WritesToAPipe) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  {
    FdOutStream out(fds[1]);
    out.writeShortString("pipe");
    out.flush();
    ::close(fds[1]);
  }
  FdInStream in(fds[0]);
  EXPECT_EQ(in.readShortString(), "pipe");
  EXPECT_THROW(in.readU8(), EndOfStream);
  ::close(fds[0]);
}

TEST(FdOutStream, ShutdownWriteEndsThePeersInput) {
  SocketPair pair(false);
  FdOutStream out(pair.writer);
  out.writeU16(0x4142);
  out.flush();
  out.shutdownWrite();
  FdInStream in(pair.reader);
  EXPECT_EQ(in.readU16(), 0x4142);
  EXPECT_THROW(in.readU8(), EndOfStream);
}

TEST(FdOutStream, ShutdownWriteFailureNamesTheCall) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  FdOutStream out(fds[1]);
  try {
    out.shutdownWrite();
    FAIL() << "no exception";
  } catch (const plat::SystemException& e) {
    EXPECT_EQ(std::string(e.str()).rfind("shutdown(SHUT_WR): ", 0), 0u) << e.str();
  }
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST(FdOutStream, HalfCloseIsLeftToTheOwnerWhenThereIsOne) {
  SocketPair pair(false);
  RecordingCallback callback;
  {
    FdOutStream out(pair.writer);
    out.setCallback(&callback);
    out.writeU8(1);
    out.halfClose();
    EXPECT_EQ(callback.events, "H");
    EXPECT_EQ(out.bufferedBytes(), 1u) << "nothing written yet";
    out.setCallback(nullptr);
    out.halfClose();
  }
  FdInStream in(pair.reader);
  EXPECT_EQ(in.readU8(), 1);
  EXPECT_THROW(in.readU8(), EndOfStream);
}

TEST(FdOutStream, LazyFlushWaitsForTheOwner) {
  SocketPair pair;
  RecordingCallback callback;
  FdOutStream out(pair.writer);
  out.setCallback(&callback);
  out.setNonBlocking(true);
  out.setLazy(true);
  out.writeU32(0xcafef00d);
  out.flush();
  EXPECT_TRUE(pair.drain().empty());
  EXPECT_EQ(callback.events, "P");
  EXPECT_TRUE(out.writePending(false));
  EXPECT_EQ(callback.events, "PD");
  EXPECT_EQ(pair.drain(), std::vector<uint8_t>({0xca, 0xfe, 0xf0, 0x0d}));
}

} // namespace
} // namespace rdr
