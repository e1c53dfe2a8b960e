#include "CapturedLog.h"
#include "testsupport/LoopPump.h"

#include "base/io/FdIo.h"
#include "base/io/FdSelectManager.h"
#include "base/io/IoHandler.h"
#include "base/plat/ConfigParameter.h"
#include "base/plat/Configuration.h"
#include "base/plat/Exception.h"
#include "base/plat/Format.h"
#include "base/plat/LogSetting.h"
#include "base/rdr/FdInStream.h"
#include "base/rdr/InStream.h"
#include "base/rdr/OutStream.h"
#include "testsupport/SocketPeer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <functional>
#include <unistd.h>

namespace io {
namespace {

using test::CapturedLog;
using testsupport::pumpUntil;

class TestHandler : public IoHandler {
public:
  std::string received;
  int writeReadies = 0;
  int completions = 0;
  std::function<void(Io&)> onData;
  std::function<void()> onComplete;

  void dataAvailable(Io& io) override {
    if (onData) {
      onData(io);
      return;
    }
    rdr::InStream& in = io.inStream();
    for (;;) {
      received.push_back(char(in.readU8()));
      in.checkpoint();
    }
  }
  void writeReady(Io&) override { writeReadies++; }
  void shutdownComplete(Io&) override {
    completions++;
    if (onComplete)
      onComplete();
  }
};

// A parameter value at command-line priority for the test's duration.
class ScopedParam {
public:
  ScopedParam(const char* name, const char* value)
    : param_(plat::Configuration::global().findParam(name)) {
    EXPECT_NE(param_, nullptr) << name;
    EXPECT_TRUE(param_->setParam(value, 10));
  }
  ~ScopedParam() { param_->unset(10, false); }

private:
  plat::ConfigParameter* param_;
};

// Byte i of a test payload: a pattern that a shifted or truncated copy breaks.
char payloadByte(size_t i) {
  return char((i * 7 + i / 251) & 0xff);
}

class FdIoTest : public testing::Test {
protected:
  void SetUp() override { log = &CapturedLog::capture("FdIo", 100); }

  // The connection on our end; it owns the descriptor.
  std::unique_ptr<FdIo> makeIo(bool writeReady = false) {
    return std::make_unique<FdIo>(peer.takeOurs(), true, writeReady);
  }

  // Reads what the peer has now; returns false once it sees end of file.
  bool peerRead(std::string* into = nullptr) {
    std::string got;
    bool open = peer.receive(got);
    peerBytes += got.size();
    if (into)
      into->append(got);
    return open;
  }

  bool peerSeesEof() { return !peerRead(); }

  void peerWrite(const std::string& text) { peer.send(text); }

  // Fills our side far beyond what the socket holds, so that output stays
  // buffered while the peer does not read.
  void writePayload(Io& io, size_t size) {
    std::string chunk(65536, '\0');
    for (size_t done = 0; done < size; done += chunk.size()) {
      for (size_t i = 0; i < chunk.size(); i++)
        chunk[i] = payloadByte(done + i);
      io.outStream().writeBytes(chunk.data(), chunk.size());
    }
    io.outStream().flush();
  }

  std::string ioText(const char* format, const void* io) {
    return plat::format(format, io, ourFd);
  }

  // Declared before the manager: a connection still shutting down when a
  // test fails is completed by the manager's destructor and tells it.
  TestHandler handler;
  FdSelectManager manager;
  testsupport::SocketPeer peer;
  const int ourFd = peer.ours();
  size_t peerBytes = 0;
  CapturedLog* log = nullptr;
};

TEST_F(FdIoTest, NameShowsTheDescriptor) {
  auto io = makeIo();
  EXPECT_EQ(io->name(), plat::format("<fd%d>", ourFd));
  EXPECT_EQ(io->peerAddress(), "");
}

TEST_F(FdIoTest, IncomingBytesReachDataAvailable) {
  auto io = makeIo();
  io->setHandler(&handler);
  peerWrite("hello");
  EXPECT_TRUE(pumpUntil(manager, [&] { return handler.received == "hello"; }));
  io->setHandler(nullptr);
}

TEST_F(FdIoTest, FlushedOutputReachesThePeer) {
  auto io = makeIo();
  io->setHandler(&handler);
  io->outStream().writeBytes("abc", 3);
  io->outStream().flush();
  std::string got;
  EXPECT_TRUE(pumpUntil(manager, [&] {
    peerRead(&got);
    return got == "abc";
  }));
}

TEST_F(FdIoTest, AttachingAHandlerGivesOneWriteReady) {
  auto io = makeIo(true);
  io->setHandler(&handler);
  EXPECT_TRUE(pumpUntil(manager, [&] { return handler.writeReadies == 1; }));
  manager.processEvents(0);
  EXPECT_EQ(handler.writeReadies, 1);
}

TEST_F(FdIoTest, BytesAlreadyBufferedAreDeliveredWhenTheHandlerAttaches) {
  auto io = makeIo();
  peerWrite("abcd");
  // A blocking read before the loop takes over pulls everything in.
  EXPECT_EQ(io->inStream().readU8(), 'a');
  io->setHandler(&handler);
  manager.processEvents(0);
  EXPECT_EQ(handler.received, "bcd");
}

TEST_F(FdIoTest, ShutdownWithoutFlushOrHandlerCompletesInTheNextPass) {
  auto io = makeIo();
  io->setHandler(&handler);
  const void* address = io.get();
  Io::shutdown(std::move(io), false, false);
  EXPECT_TRUE(log->contains(ioText("FdIo: shutdown %p (fd=%d), flush false (tellHandler false)", address)));
  EXPECT_FALSE(peerSeesEof());
  manager.processEvents(0);
  EXPECT_TRUE(peerSeesEof());
  EXPECT_EQ(handler.completions, 0);
  EXPECT_TRUE(log->contains(ioText("FdIo: shutdown complete %p (fd=%d)", address)));
}

TEST_F(FdIoTest, ShutdownTellingTheHandlerCallsShutdownComplete) {
  auto io = makeIo();
  io->setHandler(&handler);
  Io::shutdown(std::move(io), false, true);
  EXPECT_TRUE(pumpUntil(manager, [&] { return handler.completions == 1; }));
  EXPECT_TRUE(peerSeesEof());
}

TEST_F(FdIoTest, ShutdownErrorIsLoggedAndTheObjectGoesAnyway) {
  auto io = makeIo();
  handler.onComplete = [] { throw plat::Exception("refused", "Test"); };
  io->setHandler(&handler);
  Io::shutdown(std::move(io), false, true);
  EXPECT_TRUE(pumpUntil(manager, [&] { return peerSeesEof(); }));
  EXPECT_TRUE(log->contains("FdIo: Shutdown error: [Test] refused"));
}

TEST_F(FdIoTest, ShutdownWithFlushWaitsUntilEverythingIsWritten) {
  const size_t size = 8 << 20;
  auto io = makeIo();
  io->setHandler(&handler);
  writePayload(*io, size);
  ASSERT_GT(io->fdOutStream().bufferedBytes(), 0u);
  Io::shutdown(std::move(io), true, true);

  // Nothing completes while the peer does not read.
  for (int i = 0; i < 5; i++)
    manager.processEvents(0);
  EXPECT_EQ(handler.completions, 0);

  std::string got;
  bool open = true;
  EXPECT_TRUE(pumpUntil(manager, [&] { return !(open = peerRead(&got)); }));
  EXPECT_EQ(handler.completions, 1);
  ASSERT_EQ(got.size(), size);
  for (size_t i = 0; i < size; i++)
    ASSERT_EQ(got[i], payloadByte(i)) << "byte " << i;
}

// Used to fail the assertion "handler": the flush timer of a shutdown that
// had forgotten its handler insisted on one.
TEST_F(FdIoTest, LazyFlushExpiryEndsAFlushingShutdownWithoutTheRest) {
  ScopedParam timeout("LazyFlushTimeout", "1");
  const size_t size = 8 << 20;
  auto io = makeIo();
  io->setHandler(&handler);
  writePayload(*io, size);
  const void* address = io.get();
  Io::shutdown(std::move(io), true, false);
  std::string completed = ioText("FdIo: shutdown complete %p (fd=%d)", address);
  EXPECT_TRUE(pumpUntil(manager, [&] { return log->contains(completed); }));
  EXPECT_TRUE(log->contains("FdIo: flush timer"));
  EXPECT_EQ(handler.completions, 0);
  while (peerRead()) {
  }
  EXPECT_LT(peerBytes, size);
}

TEST_F(FdIoTest, LazyFlushExpiryOnAnOpenConnectionTimesTheReaderOut) {
  ScopedParam timeout("LazyFlushTimeout", "1");
  auto io = makeIo();
  io->setHandler(&handler);
  writePayload(*io, 8 << 20);
  EXPECT_TRUE(pumpUntil(manager, [&] { return handler.completions == 1; }));
  io.release(); // it has destroyed itself
  EXPECT_TRUE(log->contains("FdIo: flush timer"));
  EXPECT_TRUE(log->contains("FdIo: Read error: [TimedOut] Timed out"));
}

TEST_F(FdIoTest, PeerCloseIsAReadErrorThatShutsDown) {
  auto io = makeIo();
  io->setHandler(&handler);
  peer.close();
  EXPECT_TRUE(pumpUntil(manager, [&] { return handler.completions == 1; }));
  io.release(); // it has destroyed itself
  EXPECT_TRUE(log->contains("FdIo: Read error: [EndOfStream] End of IO stream"));
}

TEST_F(FdIoTest, WriteFailureWhilePendingShutsDown) {
  auto io = makeIo();
  handler.onData = [](Io&) {}; // never reads, so the close shows on the write side
  io->setHandler(&handler, false);
  writePayload(*io, 4 << 20);
  peer.close();
  EXPECT_TRUE(pumpUntil(manager, [&] { return handler.completions == 1; }));
  io.release(); // it has destroyed itself
  bool found = false;
  for (const std::string& line : log->lines())
    found = found || line.rfind("FdIo: Write error: [System-", 0) == 0;
  EXPECT_TRUE(found);
}

TEST_F(FdIoTest, NeverRegisteredShutdownIsImmediate) {
  auto io = makeIo();
  const void* address = io.get();
  Io::shutdown(std::move(io), false, false);
  EXPECT_TRUE(log->contains(ioText("FdIo: immediate shutdown %p (fd=%d)", address)));
  EXPECT_TRUE(peerSeesEof());
}

TEST_F(FdIoTest, NeverRegisteredShutdownTellingAHandlerIsAnAssertion) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
    {
      plat::setLogSetting("Assert:stderr:0");
      Io::shutdown(makeIo(), false, true);
    },
    "Assertion '!tellHandler' failed");
}

// Used to reach handleRead with no handler (an assertion) when a read pass
// had been requested without read interest.
TEST_F(FdIoTest, ShutdownDropsARequestedReadPass) {
  auto io = makeIo();
  int reads = 0;
  handler.onData = [&](Io&) { reads++; };
  io->setHandler(&handler, false);
  io->requestRead();
  Io::shutdown(std::move(io), false, false);
  manager.processEvents(0);
  EXPECT_EQ(reads, 0);
  EXPECT_TRUE(peerSeesEof());
}

TEST_F(FdIoTest, ManagerDestructionCompletesAShutdown) {
  const void* address = nullptr;
  {
    FdSelectManager inner;
    auto io = makeIo();
    io->setHandler(&handler);
    writePayload(*io, 4 << 20);
    address = io.get();
    Io::shutdown(std::move(io), true, true);
    inner.processEvents(0);
    EXPECT_EQ(handler.completions, 0);
  }
  EXPECT_EQ(handler.completions, 1);
  EXPECT_TRUE(log->contains(ioText("FdIo: shutdown completed by FdManager dtor %p (fd=%d)", address)));
  while (peerRead()) {
  }
  EXPECT_LT(peerBytes, size_t(4 << 20));
}

TEST_F(FdIoTest, ManagerDestructionLeavesAnOpenConnectionToItsOwner) {
  auto io = makeIo();
  {
    FdSelectManager inner;
    io->setHandler(&handler);
    inner.processEvents(0);
  }
  EXPECT_FALSE(peerSeesEof());
  // Still usable without a loop: blocking output, then the owner's delete.
  io->setHandler(nullptr);
  io->outStream().writeBytes("z", 1);
  io->outStream().flush();
  std::string got;
  peerRead(&got);
  EXPECT_EQ(got, "z");
  io.reset();
  EXPECT_TRUE(peerSeesEof());
}

// Used to wait forever: with nothing buffered, no write pass ever came to
// close the sending direction.
TEST_F(FdIoTest, HalfCloseWithAnEmptyBufferClosesTheSendingDirection) {
  auto io = makeIo();
  io->setHandler(&handler);
  manager.processEvents(0);
  EXPECT_EQ(io->beginHalfClose(), FdIo::open);
  EXPECT_EQ(io->state(), FdIo::halfClosing);
  EXPECT_TRUE(pumpUntil(manager, [&] { return peerSeesEof(); }));
  // The other direction still works.
  peerWrite("still");
  EXPECT_TRUE(pumpUntil(manager, [&] { return handler.received == "still"; }));
  EXPECT_EQ(io->beginHalfClose(), FdIo::halfClosing);
  io->setHandler(nullptr);
}

TEST_F(FdIoTest, HalfCloseSendsPendingOutputFirst) {
  const size_t size = 2 << 20;
  auto io = makeIo();
  io->setHandler(&handler);
  writePayload(*io, size);
  io->fdOutStream().halfClose();
  EXPECT_EQ(io->state(), FdIo::halfClosing);
  std::string got;
  EXPECT_TRUE(pumpUntil(manager, [&] { return !peerRead(&got); }));
  EXPECT_EQ(got.size(), size);
  io->setHandler(nullptr);
}

TEST_F(FdIoTest, SocketErrorIsReadOnce) {
  auto io = makeIo();
  EXPECT_EQ(io->socketError(), 0);
  EXPECT_EQ(io->socketError(), 0);
}

TEST_F(FdIoTest, DescriptorCanBeGivenLater) {
  auto io = std::make_unique<FdIo>();
  EXPECT_EQ(io->getFd(), -1);
  io->setFd(peer.takeOurs(), true, {}, {}, false);
  EXPECT_EQ(io->getFd(), ourFd);
  EXPECT_EQ(::fcntl(ourFd, F_GETFL) & O_NONBLOCK, 0);
  // Like a display connection: a blocking descriptor whose readability only
  // wakes the loop, read by someone else.
  int wakeups = 0;
  handler.onData = [&](Io&) { wakeups++; };
  io->setHandler(&handler);
  peerWrite("late");
  EXPECT_TRUE(pumpUntil(manager, [&] { return wakeups > 0; }));
  char buffer[4];
  EXPECT_EQ(::read(ourFd, buffer, 4), 4);
  io->setHandler(nullptr);
}

TEST_F(FdIoTest, SecondDescriptorIsAnAssertion) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
    {
      plat::setLogSetting("Assert:stderr:0");
      auto io = makeIo();
      io->setFd(0, false);
    },
    "Assertion 'fd < 0' failed");
}

TEST(FdIoPeriodTest, LazyFlushPeriodTable) {
  struct Case {
    int seconds, ms;
  };
  const Case cases[] = {
    {1, 1000}, {60, 60000}, {2147483, 2147483000}, {2147484, INT_MAX}, {INT_MAX, INT_MAX},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.seconds);
    EXPECT_EQ(FdIo::lazyFlushPeriodMs(c.seconds), c.ms);
  }
  EXPECT_EQ(FdIo::lazyFlushPeriodMs(), 60000);
}

} // namespace
} // namespace io
