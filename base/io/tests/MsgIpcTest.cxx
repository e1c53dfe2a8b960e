#include "CapturedLog.h"
#include "testsupport/LoopPump.h"

#include "base/io/FdIo.h"
#include "base/io/FdSelectManager.h"
#include "base/io/LogChannel.h"
#include "base/io/MsgIpc.h"
#include "base/plat/Exception.h"
#include "base/plat/LogDestIpc.h"
#include "base/rdr/BlockException.h"
#include "base/rdr/ByteReader.h"
#include "base/rdr/MemOutStream.h"
#include "base/rdr/OutStreamV4.h"
#include "testsupport/SocketPeer.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <set>

namespace io {
namespace {

using test::CapturedLog;
using testsupport::pumpUntil;
using Bytes = std::vector<uint8_t>;

void appendBE(Bytes& out, uint64_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; i--)
    out.push_back(uint8_t(v >> (8 * i)));
}

void appendShort(Bytes& out, const std::string& text) {
  out.push_back(uint8_t(text.size()));
  out.insert(out.end(), text.begin(), text.end());
}

void appendString(Bytes& out, const std::string& text) {
  appendBE(out, text.size(), 4);
  out.insert(out.end(), text.begin(), text.end());
}

// A message body in one last frame, framed by hand (bodies below 32767 bytes).
Bytes frame(const Bytes& body) {
  Bytes wire;
  appendBE(wire, 0x8000 | body.size(), 2);
  wire.insert(wire.end(), body.begin(), body.end());
  return wire;
}

Bytes message(const std::string& name, const Bytes& payload = {}) {
  Bytes body;
  appendShort(body, name);
  body.insert(body.end(), payload.begin(), payload.end());
  return frame(body);
}

Bytes u32(uint32_t v) {
  Bytes b;
  appendBE(b, v, 4);
  return b;
}

// Reads one U32 per message; records every call, including those that
// found the value incomplete (they return false, as restartable readers do).
class U32Reader : public MsgIpc::Reader {
public:
  std::vector<std::pair<std::string, uint32_t>> got;
  int calls = 0;
  int resets = 0;
  int gone = 0;
  std::function<void(MsgIpc&)> onRead;

  bool readMsg(const std::string& name, rdr::FramedInStream& in, MsgIpc& channel) override {
    calls++;
    if (onRead)
      onRead(channel);
    try {
      uint32_t v = in.readU32();
      got.push_back({name, v});
      return true;
    } catch (const rdr::BlockException&) {
      return false;
    }
  }
  void ipcReset(MsgIpc&) override { resets++; }
  void ipcGone(MsgIpc& channel) override {
    gone++;
    MsgIpc::Reader::ipcGone(channel);
  }
};

// Collects one string payload of any size with a ByteReader, the way a
// reader of long texts must: checkpoint after the length, then take the
// bytes as they come.
class TextReader : public MsgIpc::Reader {
public:
  std::vector<std::string> delivered;

  bool readMsg(const std::string&, rdr::FramedInStream& in, MsgIpc&) override {
    try {
      if (!bytes_.inProgress()) {
        uint32_t length = in.readU32();
        bytes_.init(in, length);
        in.checkpoint();
      }
      auto block = bytes_.collect(true);
      delivered.emplace_back(block->begin(), block->end());
      return true;
    } catch (const rdr::BlockException&) {
      return false;
    }
  }

private:
  rdr::ByteReader bytes_;
};

class MsgIpcTest : public testing::Test, public MsgIpc::Callback {
protected:
  void SetUp() override { log = &CapturedLog::capture("Ipc", 100); }

  // A new peer each time.
  void connect() {
    peer.emplace();
    channel.accept(std::make_unique<FdIo>(peer->takeOurs()));
  }
  void peerSend(const Bytes& bytes) { peer->send(bytes); }
  // Everything the peer has received so far; false once it sees the end.
  bool peerRead() { return peer->receive(received); }

  bool pump(const std::function<bool()>& condition) { return pumpUntil(manager, condition); }
  // Runs passes until the peer has at least `n` bytes.
  bool pumpUntilReceived(size_t n) {
    return pump([&] {
      peerRead();
      return received.size() >= n;
    });
  }
  bool pumpUntilPeerSeesEnd() {
    return pump([&] { return !peerRead(); });
  }

  // MsgIpc::Callback
  void ipcClosed(MsgIpc&) override { closed++; }
  bool isMsgAllowed(MsgIpc&, const std::string& name, bool isWrite) override {
    return !forbidden.contains(name);
  }
  void ipcError(MsgIpc&, const plat::Exception& e) override { errors.push_back(e.describe()); }

  int closed = 0;
  std::set<std::string> forbidden;
  std::vector<std::string> errors;
  Bytes received;
  CapturedLog* log = nullptr;
  FdSelectManager manager;
  std::optional<testsupport::SocketPeer> peer;
  MsgIpc channel{*this, "Server"};
};

TEST_F(MsgIpcTest, MessagesGoToTheReaderOfTheirName) {
  U32Reader alpha, beta;
  channel.registerReader("alpha", alpha);
  channel.registerReader("beta", beta);
  connect();
  Bytes wire = message("alpha", u32(1));
  for (const Bytes& m : {message("beta", u32(2)), message("alpha", u32(3))})
    wire.insert(wire.end(), m.begin(), m.end());
  peerSend(wire);
  ASSERT_TRUE(pump([&] { return alpha.got.size() == 2 && beta.got.size() == 1; }));
  EXPECT_EQ(alpha.got, (decltype(alpha.got){{"alpha", 1}, {"alpha", 3}}));
  EXPECT_EQ(beta.got, (decltype(beta.got){{"beta", 2}}));
  EXPECT_EQ(closed, 0);
}

TEST_F(MsgIpcTest, DefaultReaderTakesNamesWithoutTheirOwn) {
  U32Reader named, fallback;
  channel.registerReader("named", named);
  channel.registerReader(std::nullopt, fallback);
  connect();
  Bytes wire = message("other", u32(5));
  Bytes second = message("named", u32(6));
  wire.insert(wire.end(), second.begin(), second.end());
  peerSend(wire);
  ASSERT_TRUE(pump([&] { return named.got.size() == 1 && fallback.got.size() == 1; }));
  EXPECT_EQ(fallback.got[0], (std::pair<std::string, uint32_t>{"other", 5}));
}

TEST_F(MsgIpcTest, ReaderCutShortIsCalledAgainAndRereadsFromTheStart) {
  U32Reader reader;
  channel.registerReader("value", reader);
  connect();
  Bytes wire = message("value", u32(0xdeadbeef));
  const size_t half = wire.size() - 2;  // header, name and half the U32
  peerSend(Bytes(wire.begin(), wire.begin() + half));
  ASSERT_TRUE(pump([&] { return reader.calls == 1; }));
  EXPECT_TRUE(reader.got.empty());
  peerSend(Bytes(wire.begin() + half, wire.end()));
  ASSERT_TRUE(pump([&] { return reader.got.size() == 1; }));
  EXPECT_EQ(reader.calls, 2);
  EXPECT_EQ(reader.got[0].second, 0xdeadbeefu);
}

TEST_F(MsgIpcTest, UnknownNameIsLoggedAndSkipped) {
  U32Reader reader;
  channel.registerReader("known", reader);
  connect();
  Bytes wire = message("zzz", u32(1));
  Bytes next = message("known", u32(2));
  wire.insert(wire.end(), next.begin(), next.end());
  peerSend(wire);
  ASSERT_TRUE(pump([&] { return reader.got.size() == 1; }));
  EXPECT_TRUE(log->contains("Ipc: Server: Bad msg name 'zzz'"));
  EXPECT_TRUE(channel.connected());
  EXPECT_EQ(closed, 0);
}

TEST_F(MsgIpcTest, UnknownNameBelowALetterClosesTheChannel) {
  struct Case {
    const char* name;
    std::string msgName;
    std::string logged;
  };
  std::vector<Case> cases = {
    {"digit", "9lives", "Ipc: Server: Bad msg name '9lives'"},
    {"control byte", "\x01x", "Ipc: Server: Bad msg name '~^Ax'"},
    {"empty", "", "Ipc: Server: Bad msg name ''"},
  };
  U32Reader reader;
  channel.registerReader("known", reader);
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    closed = 0;
    received.clear();
    connect();
    peerSend(message(c.msgName, u32(1)));
    ASSERT_TRUE(pump([&] { return closed == 1; }));
    EXPECT_FALSE(channel.connected());
    EXPECT_TRUE(log->contains(c.logged)) << testing::PrintToString(log->lines());
    EXPECT_TRUE(pumpUntilPeerSeesEnd());
  }
  EXPECT_TRUE(reader.got.empty());
}

TEST_F(MsgIpcTest, ReplyBadMsgAnswersInsteadOfClosing) {
  channel.setReplyBadMsg(true);
  connect();
  peerSend(message("9x"));
  Bytes answer;
  appendShort(answer, "9x");
  Bytes expected = message("badMsg", answer);
  ASSERT_TRUE(pumpUntilReceived(expected.size()));
  EXPECT_EQ(received, expected);
  EXPECT_TRUE(channel.connected());
}

TEST_F(MsgIpcTest, PeerBadMsgClosesTheChannel) {
  connect();
  Bytes payload;
  appendShort(payload, "fooMsg");
  peerSend(message("badMsg", payload));
  ASSERT_TRUE(pump([&] { return closed == 1; }));
  EXPECT_TRUE(log->contains("Ipc: Server: Peer reports bad msg name 'fooMsg'"));
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "MsgIpc: expected message <null>, peer reports bad msg name 'fooMsg'");
  EXPECT_TRUE(log->contains(
    "Ipc: Server: MsgIpc: expected message <null>, peer reports bad msg name 'fooMsg'"));
  EXPECT_TRUE(pumpUntilPeerSeesEnd());
}

TEST_F(MsgIpcTest, PeerClosingMidMessageClosesTheChannel) {
  U32Reader reader;
  channel.registerReader("value", reader);
  connect();
  Bytes wire = message("value", u32(7));
  wire.resize(wire.size() - 1);
  peerSend(wire);
  ASSERT_TRUE(pump([&] { return reader.calls == 1; }));
  peer->close();
  ASSERT_TRUE(pump([&] { return closed == 1; }));
  EXPECT_TRUE(reader.got.empty());
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "[EndOfStream] End of IO stream");
  EXPECT_FALSE(channel.connected());
}

TEST_F(MsgIpcTest, PayloadShorterThanTheReaderExpectsClosesTheChannel) {
  U32Reader reader;
  channel.registerReader("value", reader);
  connect();
  peerSend(message("value", {1, 2}));
  ASSERT_TRUE(pump([&] { return closed == 1; }));
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "[EndOfMsg] End of message");
  EXPECT_TRUE(log->contains("Ipc: Server: [EndOfMsg] End of message"));
  EXPECT_TRUE(pumpUntilPeerSeesEnd());
}

TEST_F(MsgIpcTest, WritingBeforeAnyConnectionSendsNothing) {
  rdr::FramedOutStream& out = channel.writeMsg("bell");
  out.writeU32(99);
  out.endMsg(true);
  EXPECT_TRUE(log->contains("Ipc: Server: Discarding message 'bell'"));
  connect();
  channel.writeMsg("ping").endMsg(true);
  Bytes expected = message("ping");
  ASSERT_TRUE(pumpUntilReceived(expected.size()));
  // Nothing written before the connection precedes it.
  EXPECT_EQ(received, expected);
}

TEST_F(MsgIpcTest, MessagesNotAllowedAreRefusedBothWays) {
  forbidden = {"secret"};
  U32Reader reader;
  channel.registerReader("secret", reader);
  channel.registerReader("open", reader);
  connect();
  try {
    channel.writeMsg("secret");
    ADD_FAILURE() << "no exception";
  } catch (const plat::Exception& e) {
    EXPECT_STREQ(e.str(), "MsgIpc::writeMsg: Message not currently allowed");
  }
  EXPECT_EQ(log->count("Ipc: Server: Message 'secret' not currently allowed"), 1u);

  Bytes wire = message("secret", u32(1));
  Bytes next = message("open", u32(2));
  wire.insert(wire.end(), next.begin(), next.end());
  peerSend(wire);
  ASSERT_TRUE(pump([&] { return reader.got.size() == 1; }));
  EXPECT_EQ(reader.got[0], (std::pair<std::string, uint32_t>{"open", 2}));
  EXPECT_EQ(log->count("Ipc: Server: Message 'secret' not currently allowed"), 2u);

  // A refused write leaves nothing behind: the next message goes out whole.
  channel.writeMsg("open").endMsg(true);
  Bytes expected = message("open");
  ASSERT_TRUE(pumpUntilReceived(expected.size()));
  EXPECT_EQ(received, expected);
}

TEST_F(MsgIpcTest, LongStringArrivingInSmallPiecesIsDeliveredWholeOnce) {
  TextReader reader;
  channel.registerReader("text", reader);
  connect();
  std::string text(100000, '\0');
  for (size_t i = 0; i < text.size(); i++)
    text[i] = char('a' + (i * 7 + i / 977) % 26);
  rdr::MemOutStream encoded;
  rdr::OutStreamV4 framer(&encoded);
  framer.startMsg();
  framer.writeShortString("text");
  framer.writeString(text);
  framer.endMsg(false);
  Bytes wire(encoded.data(), encoded.data() + encoded.length());

  for (size_t at = 0; at < wire.size(); at += 777) {
    peerSend(Bytes(wire.begin() + at, wire.begin() + std::min(wire.size(), at + 777)));
    manager.processEvents(0);
  }
  ASSERT_TRUE(pump([&] { return !reader.delivered.empty(); }));
  ASSERT_EQ(reader.delivered.size(), 1u);
  EXPECT_EQ(reader.delivered[0], text);
  EXPECT_TRUE(channel.connected());
}

TEST_F(MsgIpcTest, LongUnknownMessageIsSkippedAcrossManyArrivals) {
  // Far more than the input buffer holds: the skip must commit as it goes.
  U32Reader reader;
  channel.registerReader("known", reader);
  connect();
  rdr::MemOutStream encoded;
  rdr::OutStreamV4 framer(&encoded);
  framer.startMsg();
  framer.writeShortString("zzz");
  framer.pad(100000);
  framer.endMsg(false);
  Bytes wire(encoded.data(), encoded.data() + encoded.length());
  Bytes next = message("known", u32(4));
  wire.insert(wire.end(), next.begin(), next.end());

  for (size_t at = 0; at < wire.size(); at += 1500) {
    peerSend(Bytes(wire.begin() + at, wire.begin() + std::min(wire.size(), at + 1500)));
    manager.processEvents(0);
  }
  ASSERT_TRUE(pump([&] { return reader.got.size() == 1 || closed > 0; }));
  EXPECT_EQ(closed, 0);
  EXPECT_EQ(reader.got[0].second, 4u);
}

TEST_F(MsgIpcTest, ReaderRemovedWhileDispatchingHasItsMessageSkipped) {
  U32Reader quitter, other;
  quitter.onRead = [&](MsgIpc& ch) { ch.removeReader(quitter); };
  channel.registerReader("quit", quitter);
  channel.registerReader("other", other);
  connect();
  Bytes wire = message("quit", u32(1));
  Bytes next = message("other", u32(2));
  wire.insert(wire.end(), next.begin(), next.end());
  peerSend(wire);
  ASSERT_TRUE(pump([&] { return other.got.size() == 1; }));
  EXPECT_EQ(channel.readerCount(), 1u);
  EXPECT_TRUE(channel.connected());
}

TEST_F(MsgIpcTest, ReadersAreResetOnceEachOnAcceptAndClose) {
  U32Reader twice, once;
  channel.registerReader("a", twice);
  channel.registerReader("b", twice);
  channel.registerReader("c", once);
  connect();
  EXPECT_EQ(twice.resets, 1);
  EXPECT_EQ(once.resets, 1);
  channel.close(true);
  EXPECT_EQ(twice.resets, 2);
  EXPECT_EQ(closed, 1);
  EXPECT_TRUE(pumpUntilPeerSeesEnd());
  channel.close(true);
  EXPECT_EQ(closed, 1) << "closing an unconnected channel tells nobody";
}

TEST_F(MsgIpcTest, FlushOnCloseWritesWhatWasLeftUnflushed) {
  channel.ipc().setFlushOnClose(true);
  connect();
  channel.writeMsg("bye").endMsg(false);
  channel.close(false);
  EXPECT_EQ(closed, 0);
  Bytes expected = message("bye");
  ASSERT_TRUE(pumpUntilPeerSeesEnd());
  EXPECT_EQ(received, expected);
}

TEST_F(MsgIpcTest, ReadersOutlivingTheChannelAreToldItIsGone) {
  U32Reader reader;
  {
    MsgIpc local(*this, "Local");
    local.registerReader("x", reader);
    local.registerReader("y", reader);
  }
  EXPECT_EQ(reader.gone, 1);
  // Its destructor must not reach the destroyed channel (ASan would tell).
}

TEST_F(MsgIpcTest, ReaderDestroyedFirstUnregistersItself) {
  {
    U32Reader reader;
    channel.registerReader("x", reader);
  }
  EXPECT_EQ(channel.readerCount(), 0u);
}

TEST_F(MsgIpcTest, SetLogLevelReleasesQueuedLinesAsLogMsg) {
  plat::LogDestIpc dest("ipc-test");
  dest.write(30, "Alpha", "first");
  dest.write(100, "Beta", "too detailed");
  dest.write(0, "Gamma", std::string(2000, 'x').c_str());
  LogChannel logChannel(channel, dest);
  connect();
  logChannel.attach();
  manager.processEvents(0);
  peerRead();
  EXPECT_TRUE(received.empty()) << "nothing is sent before the level is known";

  peerSend(message("setLogLevel", u32(50)));
  Bytes expected;
  for (auto [level, source, text] : {std::tuple<uint32_t, std::string, std::string>{30, "Alpha", "first"},
                                     {0, "Gamma", std::string(1024, 'x')}}) {
    Bytes body;
    appendShort(body, "logMsg");
    appendBE(body, level, 4);
    appendString(body, source);
    appendString(body, text);
    Bytes framed = frame(body);
    expected.insert(expected.end(), framed.begin(), framed.end());
  }
  ASSERT_TRUE(pumpUntilReceived(expected.size()));
  EXPECT_EQ(received, expected);
  EXPECT_TRUE(dest.levelKnown());
  EXPECT_EQ(dest.level(), 50);

  // Later lines are sent by the loop once the destination kicks it.
  received.clear();
  dest.write(10, "Late", "x");
  Bytes late;
  appendShort(late, "logMsg");
  appendBE(late, 10, 4);
  appendString(late, "Late");
  appendString(late, "x");
  ASSERT_TRUE(pumpUntilReceived(frame(late).size()));
  EXPECT_EQ(received, frame(late));
  logChannel.detach();
}

TEST_F(MsgIpcTest, LogChannelLetsGoWhenTheChannelGoesFirst) {
  plat::LogDestIpc dest("ipc-test2");
  auto local = std::make_unique<MsgIpc>(*this, "Local");
  LogChannel logChannel(*local, dest);
  logChannel.attach();
  local.reset();
  EXPECT_FALSE(logChannel.attached());
  dest.write(0, "Src", "after");
  dest.sendQueued();  // must not reach the destroyed channel
}

} // namespace
} // namespace io
