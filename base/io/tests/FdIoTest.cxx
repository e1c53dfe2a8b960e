#include "testsupport/LogRecorder.h"
#include "testsupport/LoopPump.h"
#include "testsupport/SocketPeer.h"

#include "base/io/FdIo.h"
#include "base/io/FdSelectManager.h"
#include "base/io/IoHandler.h"
#include "base/plat/ConfigParameter.h"
#include "base/plat/Configuration.h"
#include "base/plat/Exception.h"
#include "base/plat/Format.h"
#include "base/rdr/InStream.h"
#include "base/rdr/OutStream.h"

#include <gtest/gtest.h>

#include <functional>

namespace io {
namespace {

using testsupport::pumpUntil;

class TestHandler : public IoHandler {
public:
  std::string received;
  int writeReadies = 0;
  int completions = 0;
  std::function<void(Io&)> onData;
  std::function<void()> onComplete;

  void dataAvailable(Io& io) override {
    if (onData)
      return onData(io);
    for (rdr::InStream& in = io.inStream();; in.checkpoint())
      received.push_back(char(in.readU8()));
  }
  void writeReady(Io&) override { writeReadies++; }
  void shutdownComplete(Io&) override {
    completions++;
    if (onComplete)
      onComplete();
  }
};

// "LazyFlushTimeout" at command-line priority for the test's duration.
class ShortLazyFlush {
public:
  ShortLazyFlush() { EXPECT_TRUE(param_->setParam("1", 10)); }
  ~ShortLazyFlush() { param_->unset(10, false); }

private:
  plat::ConfigParameter* param_ = plat::Configuration::global().findParam("LazyFlushTimeout");
};

class FdIoTest : public testing::Test {
protected:
  // The connection on our end; it owns the descriptor.
  std::unique_ptr<FdIo> makeIo(bool writeReady = false) {
    return std::make_unique<FdIo>(peer->takeOurs(), true, writeReady);
  }

  // Reads what the peer has now; returns false once it sees end of file.
  bool peerRead(std::string* into = nullptr) {
    std::string got;
    bool open = peer->receive(got);
    peerBytes += got.size();
    if (into)
      into->append(got);
    return open;
  }
  bool peerSeesEof() { return !peerRead(); }
  size_t peerBytesAtEof() {
    while (peerRead()) {
    }
    return peerBytes;
  }

  // Fills our side far beyond what the socket holds, so that output stays
  // buffered while the peer does not read.
  void writePayload(Io& io, size_t size) {
    const std::string chunk(65536, 'p');
    for (size_t done = 0; done < size; done += chunk.size())
      io.outStream().writeBytes(chunk.data(), chunk.size());
    io.outStream().flush();
  }

  bool logged(const std::string& prefix) {
    for (const std::string& text : log.texts("FdIo"))
      if (text.rfind(prefix, 0) == 0)
        return true;
    return false;
  }

  testsupport::LogRecorder log{"FdIo", 100};
  // Declared before the manager: a connection still shutting down when a
  // test fails is completed by the manager's destructor and tells it.
  TestHandler handler;
  FdSelectManager manager;
  std::unique_ptr<testsupport::SocketPeer> peer = std::make_unique<testsupport::SocketPeer>();
  const int ourFd = peer->ours();
  size_t peerBytes = 0;
};

TEST_F(FdIoTest, ReadAheadBytesAndOneWriteReadyFollowTheHandler) {
  auto io = makeIo(true);
  peer->send(std::string("abcd"));
  // A blocking read before the loop takes over pulls everything in; the
  // rest is delivered when the handler attaches.
  EXPECT_EQ(io->inStream().readU8(), 'a');
  io->setHandler(&handler);
  EXPECT_TRUE(
    pumpUntil(manager, [&] { return handler.received == "bcd" && handler.writeReadies == 1; }));
  manager.processEvents(0);
  EXPECT_EQ(handler.writeReadies, 1) << "attaching a handler gives one write-ready";
  io->setHandler(nullptr);
}

TEST_F(FdIoTest, ShutdownWithoutFlushIsImmediateUnlessRegisteredThenInTheNextPass) {
  Io::shutdown(makeIo(), false, false);
  EXPECT_TRUE(peerSeesEof()) << "never registered: at once";
  int reads = 0;
  handler.onData = [&](Io&) { reads++; };
  handler.onComplete = [] { throw plat::Exception("refused", "Test"); };
  for (bool tellHandler : {false, true}) {
    SCOPED_TRACE(tellHandler);
    peer = std::make_unique<testsupport::SocketPeer>();
    auto io = makeIo();
    io->setHandler(&handler, false);
    // Used to reach handleRead with no handler (an assertion) when a read
    // pass had been requested without read interest.
    io->requestRead();
    Io::shutdown(std::move(io), false, tellHandler);
    EXPECT_FALSE(peerSeesEof());
    manager.processEvents(0);
    EXPECT_TRUE(peerSeesEof()) << "the object goes even when the handler fails";
    EXPECT_EQ(handler.completions, int(tellHandler));
  }
  EXPECT_EQ(reads, 0);
  EXPECT_TRUE(logged("Shutdown error: [Test] refused"));
}

TEST_F(FdIoTest, ShutdownWithFlushWaitsUntilEverythingIsWritten) {
  const size_t size = 8 << 20;
  auto io = makeIo();
  io->setHandler(&handler);
  writePayload(*io, size);
  ASSERT_GT(io->fdOutStream().bufferedBytes(), 0u);
  Io::shutdown(std::move(io), true, true);
  for (int i = 0; i < 5; i++)
    manager.processEvents(0);
  EXPECT_EQ(handler.completions, 0) << "nothing completes while the peer does not read";

  EXPECT_TRUE(pumpUntil(manager, [&] { return peerSeesEof(); }));
  EXPECT_EQ(peerBytes, size);
  EXPECT_EQ(handler.completions, 1);
}

// Used to fail the assertion "handler": the flush timer of a shutdown that
// had forgotten its handler insisted on one.
TEST_F(FdIoTest, LazyFlushExpiryEndsAFlushingShutdownWithoutTheRest) {
  ShortLazyFlush timeout;
  const size_t size = 8 << 20;
  auto io = makeIo();
  io->setHandler(&handler);
  writePayload(*io, size);
  const void* address = io.get();
  Io::shutdown(std::move(io), true, false);
  EXPECT_TRUE(pumpUntil(
    manager, [&] { return logged(plat::format("shutdown complete %p (fd=%d)", address, ourFd)); }));
  EXPECT_TRUE(logged("flush timer"));
  EXPECT_EQ(handler.completions, 0);
  EXPECT_LT(peerBytesAtEof(), size);
}

// An open connection shuts itself down on these, telling its handler.
TEST_F(FdIoTest, ErrorsShutAnOpenConnectionDown) {
  struct Case {
    const char* name;
    std::function<void(FdIo&)> fault;
    const char* logStart;
  };
  const Case cases[] = {
    {"peer closes", [this](FdIo&) { peer->close(); }, "Read error: [EndOfStream] End of IO stream"},
    {"write fails while output is pending",
     [this](FdIo& io) {
       handler.onData = [](Io&) {}; // never reads, so the close shows on the write side
       io.setHandler(&handler, false);
       writePayload(io, 4 << 20);
       peer->close();
     },
     "Write error: [System-"},
    {"the lazy flush expires", [this](FdIo& io) { writePayload(io, 8 << 20); },
     "Read error: [TimedOut] Timed out"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ShortLazyFlush timeout;
    peer = std::make_unique<testsupport::SocketPeer>();
    handler.completions = 0;
    handler.onData = nullptr;
    log.clear();
    auto io = makeIo();
    io->setHandler(&handler);
    c.fault(*io);
    EXPECT_TRUE(pumpUntil(manager, [&] { return handler.completions == 1; }));
    io.release(); // it has destroyed itself
    EXPECT_TRUE(logged(c.logStart)) << testing::PrintToString(log.texts());
  }
}

TEST_F(FdIoTest, ManagerDestructionCompletesShutdownsButLeavesOpenConnections) {
  auto open = std::make_unique<FdIo>(peer->takeOurs(), true, false);
  testsupport::SocketPeer other;
  {
    FdSelectManager inner;
    open->setHandler(&handler);
    auto closing = std::make_unique<FdIo>(other.takeOurs(), true, false);
    closing->setHandler(&handler);
    writePayload(*closing, 4 << 20);
    Io::shutdown(std::move(closing), true, true);
    inner.processEvents(0);
    EXPECT_EQ(handler.completions, 0);
  }
  EXPECT_EQ(handler.completions, 1);
  EXPECT_FALSE(peerSeesEof());
  open.reset();
  EXPECT_TRUE(peerSeesEof()) << "closed by its owner";
}

TEST_F(FdIoTest, HalfCloseSendsPendingOutputThenClosesTheSendingDirectionOnly) {
  // Used to wait forever: with nothing buffered, no write pass ever came to
  // close the sending direction.
  for (size_t size : {size_t(0), size_t(2 << 20)}) {
    SCOPED_TRACE(size);
    peer = std::make_unique<testsupport::SocketPeer>();
    handler.received.clear();
    auto io = makeIo();
    io->setHandler(&handler);
    manager.processEvents(0);
    if (size) {
      writePayload(*io, size);
      io->fdOutStream().halfClose();
    } else {
      EXPECT_EQ(io->beginHalfClose(), FdIo::open);
    }
    EXPECT_EQ(io->state(), FdIo::halfClosing);
    std::string got;
    EXPECT_TRUE(pumpUntil(manager, [&] { return !peerRead(&got); }));
    EXPECT_EQ(got.size(), size);
    peer->send(std::string("still"));
    EXPECT_TRUE(pumpUntil(manager, [&] { return handler.received == "still"; }));
    EXPECT_EQ(io->beginHalfClose(), FdIo::halfClosing);
    io->setHandler(nullptr);
  }
}

} // namespace
} // namespace io
