#include "testsupport/LogRecorder.h"
#include "testsupport/LoopPump.h"
#include "testsupport/SocketPeer.h"

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

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <random>

namespace io {
namespace {

using testsupport::pumpUntil;
using Bytes = std::vector<uint8_t>;
using Got = std::vector<std::pair<std::string, std::string>>;

// Messages encoded by the channel's own framing. The buffer is large enough
// for frames to be cut only at the frame limit.
struct Wire {
  rdr::MemOutStream mem{1 << 20};
  rdr::OutStreamV4 out{&mem};

  // A message whose payload is `text` as a string (none when null), then
  // `pad` zero bytes.
  Wire& msg(const std::string& name, const char* text = nullptr, size_t pad = 0) {
    return raw([&](rdr::OutStream& o) {
      o.writeShortString(name);
      if (text)
        o.writeString(text);
      o.pad(pad);
    });
  }
  // A message of short strings only: the name, then (for "badMsg") the name
  // the peer did not know.
  Wire& shortStrings(std::initializer_list<std::string> texts) {
    return raw([&](rdr::OutStream& o) {
      for (const std::string& text : texts)
        o.writeShortString(text);
    });
  }
  Wire& raw(const std::function<void(rdr::OutStream&)>& body) {
    out.startMsg();
    body(out);
    out.endMsg(false);
    return *this;
  }
  Bytes bytes() const { return Bytes(mem.data(), mem.data() + mem.length()); }
};

// Reads one string of any size per message with a ByteReader, the way a
// reader of long texts must: checkpoint after the length, then take the
// bytes as they come; cut short, it returns false, as restartable readers do.
class TextReader : public MsgIpc::Reader {
public:
  Got got;
  int resets = 0;
  int gone = 0;
  std::function<void(MsgIpc&)> onRead;

  bool readMsg(const std::string& name, rdr::FramedInStream& in, MsgIpc& channel) override {
    if (onRead)
      onRead(channel);
    try {
      if (!bytes_.inProgress()) {
        bytes_.init(in, in.readU32());
        in.checkpoint();
      }
      auto block = bytes_.collect(true);
      got.push_back({name, std::string(block->begin(), block->end())});
      return true;
    } catch (const rdr::BlockException&) {
      return false;
    }
  }
  void ipcReset(MsgIpc&) override {
    resets++;
    bytes_.reset();
  }
  void ipcGone(MsgIpc& channel) override {
    gone++;
    MsgIpc::Reader::ipcGone(channel);
  }

private:
  rdr::ByteReader bytes_;
};

class MsgIpcTest : public testing::Test, public MsgIpc::Callback {
protected:
  // A new peer each time.
  void connect() {
    peer.emplace();
    received.clear();
    channel.accept(std::make_unique<FdIo>(peer->takeOurs()));
  }
  // Sends the bytes, then runs a pass of the loop.
  void peerSend(const Bytes& bytes) {
    peer->send(bytes);
    manager.processEvents(0);
  }
  bool pump(const std::function<bool()>& condition) { return pumpUntil(manager, condition); }
  // Runs passes until the peer has `expected`.
  bool peerReceives(const Bytes& expected) {
    bool ok = pump([&] {
      peer->receive(received);
      return received.size() >= expected.size();
    });
    return ok && received == expected;
  }
  bool peerSeesEnd() {
    return pump([&] { return !peer->receive(received); });
  }
  size_t loggedCount(const std::string& text) {
    auto texts = log.texts("Ipc");
    return size_t(std::count(texts.begin(), texts.end(), "Server: " + text));
  }

  // MsgIpc::Callback
  void ipcClosed(MsgIpc&) override { closed++; }
  void ipcError(MsgIpc&, const plat::Exception& e) override { errors.push_back(e.describe()); }

  int closed = 0;
  std::vector<std::string> errors;
  Bytes received;
  testsupport::LogRecorder log{"Ipc", 100};
  FdSelectManager manager;
  std::optional<testsupport::SocketPeer> peer;
  MsgIpc channel{*this, "Server"};
};

// Random messages (texts up to far longer than the input buffer, unknown
// ones as long) in random pieces with a pass of the loop after each: a
// reader cut short is called again and gets its message whole, once, in
// order; unknown names are logged and skipped.
TEST_F(MsgIpcTest, RandomMessagesInRandomPiecesReachTheirReaders) {
  std::mt19937 rng(20240611);
  TextReader one, two;
  channel.registerReader("one", one);
  channel.registerReader("two", two);
  connect();
  Got expected[2];
  size_t unknown = 0;
  Wire wire;
  for (int i = 0; i < 60; i++) {
    std::string text(rng() % 2 ? rng() % 8 : rng() % 30000, char('a' + i % 26));
    if (i % 3 == 2) {
      wire.msg("zzz", nullptr, text.size());
      unknown++;
      continue;
    }
    const char* name = i % 3 ? "two" : "one";
    wire.msg(name, text.c_str());
    expected[i % 3].push_back({name, text});
  }
  Bytes bytes = wire.bytes();
  for (size_t at = 0, n; at < bytes.size(); at += n) {
    n = std::min(bytes.size() - at, 1 + rng() % (rng() % 2 ? 5 : 5000));
    peerSend(Bytes(bytes.begin() + long(at), bytes.begin() + long(at + n)));
  }
  // Two whole messages in one arrival: the second must not wait for more.
  expected[0].push_back({"one", "6"});
  expected[1].push_back({"two", "7"});
  peerSend(Wire().msg("one", "6").msg("two", "7").bytes());
  ASSERT_TRUE(pump([&] { return two.got.size() == expected[1].size() || closed > 0; }));
  EXPECT_EQ(one.got, expected[0]);
  EXPECT_EQ(two.got, expected[1]);
  EXPECT_EQ(loggedCount("Bad msg name 'zzz'"), unknown);
}

TEST_F(MsgIpcTest, FaultsCloseTheChannel) {
  const std::string badMsg = "MsgIpc: expected message <null>, peer reports bad msg name 'fooMsg'";
  Bytes cut = Wire().msg("value", "7").bytes();
  cut.pop_back();
  // The fault, the error reported to the callback ("" for none), the line
  // logged after "Server: ".
  const std::tuple<const char*, std::function<void()>, std::string, std::string> cases[] = {
    {"name starting with a digit", [&] { peerSend(Wire().msg("9lives", "1").bytes()); }, "",
     "Bad msg name '9lives'"},
    {"payload shorter than the reader expects",
     [&] {
       peerSend(Wire().shortStrings({"value", ""}).bytes());
     },
     "[EndOfMsg] End of message", "[EndOfMsg] End of message"},
    {"peer closing mid-message",
     [&] {
       peerSend(cut);
       peer->close();
     },
     "[EndOfStream] End of IO stream", "[EndOfStream] End of IO stream"},
    {"peer reports a bad message",
     [&] {
       peerSend(Wire().shortStrings({"badMsg", "fooMsg"}).bytes());
     },
     badMsg, badMsg},
  };
  TextReader reader;
  channel.registerReader("value", reader);
  for (const auto& [name, fault, error, logged] : cases) {
    SCOPED_TRACE(name);
    closed = 0;
    errors.clear();
    log.clear();
    connect();
    fault();
    ASSERT_TRUE(pump([&] { return closed == 1; }));
    EXPECT_FALSE(channel.connected());
    EXPECT_EQ(errors, error.empty() ? std::vector<std::string>{} : std::vector{error});
    EXPECT_EQ(loggedCount(logged), 1u) << testing::PrintToString(log.texts());
    if (error != "[EndOfStream] End of IO stream") {
      EXPECT_TRUE(peerSeesEnd());
    }
  }
  EXPECT_TRUE(reader.got.empty());
  EXPECT_EQ(loggedCount("Peer reports bad msg name 'fooMsg'"), 1u);
}

TEST_F(MsgIpcTest, ReadersAreResetOnceEachOnAcceptAndClose) {
  TextReader twice, once;
  channel.registerReader("a", twice);
  channel.registerReader("b", twice);
  channel.registerReader("c", once);
  connect();
  EXPECT_EQ(twice.resets, 1);
  EXPECT_EQ(once.resets, 1);
  channel.close(true);
  EXPECT_EQ(twice.resets, 2);
  EXPECT_EQ(closed, 1);
  EXPECT_TRUE(peerSeesEnd());
  channel.close(true);
  EXPECT_EQ(closed, 1) << "closing an unconnected channel tells nobody";
}

TEST_F(MsgIpcTest, ReadersChannelsAndLogChannelsMayGoInEitherOrder) {
  TextReader reader;
  plat::LogDestIpc dest("ipc-test2");
  auto local = std::make_unique<MsgIpc>(*this, "Local");
  local->registerReader("x", reader);
  local->registerReader("y", reader);
  LogChannel logChannel(*local, dest);
  logChannel.attach();
  local.reset();
  EXPECT_EQ(reader.gone, 1);
  EXPECT_FALSE(logChannel.attached());
  // Neither may reach the destroyed channel (ASan would tell).
  dest.write(0, "Src", "after");
  dest.sendQueued();
  {
    TextReader shortLived;
    channel.registerReader("x", shortLived);
  }
  EXPECT_EQ(channel.readerCount(), 0u);
}

TEST_F(MsgIpcTest, SetLogLevelReleasesQueuedLinesAsLogMsg) {
  plat::LogDestIpc dest("ipc-test");
  dest.write(30, "Alpha", "first");
  dest.write(100, "Beta", "too detailed");
  LogChannel logChannel(channel, dest);
  connect();
  logChannel.attach();
  manager.processEvents(0);
  peer->receive(received);
  EXPECT_TRUE(received.empty()) << "nothing is sent before the level is known";

  peerSend(Wire()
             .raw([](rdr::OutStream& o) {
               o.writeShortString("setLogLevel");
               o.writeU32(50);
             })
             .bytes());
  auto logMsg = [](uint32_t level, const std::string& source, const std::string& text) {
    return Wire()
      .raw([&](rdr::OutStream& o) {
        o.writeShortString("logMsg");
        o.writeU32(level);
        o.writeString(source);
        o.writeString(text);
      })
      .bytes();
  };
  EXPECT_TRUE(peerReceives(logMsg(30, "Alpha", "first")));
  EXPECT_EQ(dest.level(), 50);

  // Later lines are sent by the loop once the destination kicks it.
  received.clear();
  dest.write(10, "Late", "x");
  EXPECT_TRUE(peerReceives(logMsg(10, "Late", "x")));
  logChannel.detach();
}

} // namespace
} // namespace io
