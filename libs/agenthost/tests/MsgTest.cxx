// Every message record of both directions: written, then read back as a
// channel reads it (resuming when the bytes run out), refused when out of
// range, and delivered whole through a real channel.

#include "base/io/FdIo.h"
#include "base/io/FdSelectManager.h"
#include "base/plat/Exception.h"
#include "base/rdr/BlockException.h"
#include "base/rdr/InStreamV4.h"
#include "base/rdr/MemOutStream.h"
#include "base/rdr/OutStreamV4.h"
#include "libs/agenthost/FromAgentReader.h"
#include "libs/agentmsg/MsgWriter.h"
#include "libs/agenthost/ToAgentReader.h"
#include "testsupport/ArrivingInStream.h"
#include "testsupport/LoopPump.h"

#include <gtest/gtest.h>

#include <random>
#include <sys/socket.h>
#include <tuple>

namespace agenthost::test {

using namespace agentmsg;
namespace {

template <class Msg>
std::vector<uint8_t> framed(const Msg& msg) {
  rdr::MemOutStream mem;
  rdr::OutStreamV4 out(&mem);
  writeMsg(out, msg);
  return mem.takeData();
}

// A message of `name` whose payload is exactly `payload`.
std::vector<uint8_t> rawMsg(const std::string& name, const std::vector<uint8_t>& payload) {
  rdr::MemOutStream mem;
  rdr::OutStreamV4 out(&mem);
  out.startMsg();
  out.writeShortString(name);
  out.writeBytes(payload.data(), payload.size());
  out.endMsg(false);
  return mem.takeData();
}

// Reads one message as a channel would: the name, then the resumable
// payload read, restarted from the last checkpoint whenever the bytes run
// out; `step` more bytes arrive each time.
template <class Msg>
Msg readArriving(const std::vector<uint8_t>& wire, size_t step) {
  testsupport::ArrivingInStream source(wire);
  rdr::InStreamV4 in(&source);
  Msg msg;
  ParseState state;
  bool named = false;
  for (size_t rounds = 0; rounds <= wire.size() + 1; rounds++) {
    try {
      if (!in.startMsg(false)) {
        source.arrive(step);
        continue;
      }
      if (!named) {
        EXPECT_EQ(in.readShortString(), Msg::name);
        in.checkpoint();
        named = true;
      }
      msg.read(in, state);
      in.endMsg();
      return msg;
    } catch (rdr::BlockException&) {
      EXPECT_FALSE(source.allArrived()) << "blocked with every byte there";
      source.arrive(step);
    }
  }
  ADD_FAILURE() << Msg::name << " never completed";
  return msg;
}

rfb::Region scattered(int boxes, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<rfb::Rect> rects;
  for (int i = 0; i < boxes; i++) {
    int x = int(rng() % 2000), y = int(rng() % 2000);
    rects.push_back(rfb::Rect(x, y, x + 1 + int(rng() % 40), y + 1 + int(rng() % 40)));
  }
  return rfb::Region(rects);
}

SetCursorImage cursor(int w, int h) {
  SetCursorImage c{true, rfb::PixelFormat::argb8888(), rfb::Rect(-3, -5, w - 3, h - 5), 128, {}};
  for (size_t i = 0; i < size_t(w) * h * 4; i++)
    c.pixels.push_back(uint8_t(i * 7));
  return c;
}

SetPixelBuffer pixelBuffer(std::optional<SegmentDescription> segment) {
  return {rfb::PixelFormat::rgb888(), rfb::Rect(0, 0, 1024, 768), 1030, std::move(segment)};
}

// One sample of every message of both directions.
auto samples() {
  SegmentDescription posix{SegmentDescription::posix, 1030 * 768 * 4, "/kwo-4242-7", false, 4100};
  SegmentDescription sysV{SegmentDescription::sysV, 4096, "", false, 0, 123456};
  MonitorsUpdated monitors{{}, "", "2"};
  for (int i = 0; i < 3; i++)
    monitors.monitors.push_back({i == 0, 0, 1, 24, rfb::Rect(i * 1920, 0, (i + 1) * 1920, 1080),
                                 std::to_string(i + 1), "label"});
  return std::make_tuple(
      Start{}, Stop{}, FbUpdateRequest{}, PointerEvent{-5, 70000, 0x1f, true},
      KeyEvent{0xffe1, true}, ClientCutText{"clipboard \xc3\xa9 text"},
      SetParams{{{"PollInterval", "20", 10}, {"B", std::string(1024, 'v'), 0}, {"C", "", 30}}},
      SetXServerOwner{1000, 0xffffffffffffffffULL}, SetDisplayMode{1920, 1080},
      SetMonitor{"1920x1080 at 1920,0"}, SetLogLevel{110}, BadMsg{"zzz"}, Init{},
      InitRectAndPf{rfb::Rect(0, 0, 1280, 1024), rfb::PixelFormat::bgr888()},
      pixelBuffer(posix), pixelBuffer(sysV), pixelBuffer(std::nullopt),
      SetColourMapEntries{250, {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}, {10, 11, 12}, {13, 14, 15}, {255, 0, 128}}},
      FbUpdate{scattered(25, 1), -16, 32, scattered(40, 2)}, cursor(16, 24), SetCursorImage{},
      SetCursorPos{-1, 40000}, Bell{}, ServerCutText{""}, LocalInput{},
      SetBlankRegion{scattered(30, 3)}, DesktopFailure{"Cannot open display", "System-2"},
      CloseClients{"Server shutting down", "Shutdown", 7}, CaptureBroken{true},
      DesktopUidChanged{1000, "/run/user/1000/gdm/Xauthority"}, monitors,
      DisplayModesSupported{true}, DisplayModesUpdated{}, LogMsg{100, "SDesktopX11", "Polling"});
}

TEST(Msg, EveryMessageComesBackEqualWholeOneByteAtATimeAndInRandomPieces) {
  std::mt19937 rng(5);
  std::apply(
      [&](const auto&... msg) {
        (
            [&] {
              using Msg = std::decay_t<decltype(msg)>;
              SCOPED_TRACE(Msg::name);
              std::vector<uint8_t> wire = framed(msg);
              for (size_t step : {wire.size(), size_t(1), size_t(1 + rng() % 7)})
                EXPECT_EQ(readArriving<Msg>(wire, step), msg);
            }(),
            ...);
      },
      samples());
  // Long texts span many frames and arrivals.
  ClientCutText cut{std::string(100000, 'c')};
  for (size_t i = 0; i < cut.text.size(); i += 7)
    cut.text[i] = char('a' + i % 26);
  EXPECT_EQ(readArriving<ClientCutText>(framed(cut), 333), cut);
}

// Both ends do not share one writer: the bytes themselves are the contract.
TEST(Msg, WireFormsAreTheAgreedBytes) {
  EXPECT_EQ(framed(Init{}),
            (std::vector<uint8_t>{0x80, 0x09, 0x04, 'i', 'n', 'i', 't', 0x7C, 0xCA, 0x9E, 0xCB}));
  std::vector<uint8_t> uid = framed(DesktopUidChanged{0x01020304, "x"});
  EXPECT_EQ(std::vector<uint8_t>(uid.begin() + 20, uid.end()),
            (std::vector<uint8_t>{0, 0, 0, 0, 1, 2, 3, 4, 1, 'x'}));
  std::vector<uint8_t> key = framed(KeyEvent{0x41, true});
  EXPECT_EQ(std::vector<uint8_t>(key.begin() + 11, key.end()),
            (std::vector<uint8_t>{0, 0, 0, 0x41, 1}));
  EXPECT_EQ(framed(SetCursorImage{}).back(), 0);
}

template <class Msg>
std::string refusal(const std::vector<uint8_t>& payload) {
  try {
    readArriving<Msg>(rawMsg(Msg::name, payload), 1000000);
  } catch (plat::Exception& e) {
    return e.what();
  }
  return "accepted";
}

TEST(Msg, PayloadsOutOfRangeAreRefused) {
  const std::vector<uint8_t> pf = {32, 24, 0, 1, 0, 255, 0, 255, 0, 255, 16, 8, 0, 0, 0, 0};
  auto with = [&](std::vector<uint8_t> head, std::vector<uint8_t> tail) {
    head.insert(head.end(), pf.begin(), pf.end());
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
  };
  struct Case {
    std::string got;
    const char* expected;
  } cases[] = {
      {refusal<Init>({1, 2, 3, 4}), "init: bad magic 01020304"},
      {refusal<SetColourMapEntries>({200, 99, 0}),
       "setColourMapEntries: 100 entries from 200 do not fit"},
      {refusal<ClientCutText>({0x80, 0, 0, 0}), "clientCutText: length 2147483648 exceeds 67108864"},
      {refusal<ServerCutText>({0x04, 0, 0, 1}), "serverCutText: length 67108865 exceeds 67108864"},
      {refusal<DesktopUidChanged>({0, 0, 0, 1, 0, 0, 0, 0, 0}),
       "desktopUidChanged: uid 4294967296 out of range"},
      // rect 0,0 1x1, segment changed, type 2
      {refusal<SetPixelBuffer>(with({}, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0,
                                         1, 1, 2})),
       "Unsupported memory type received"},
      // 2x2 at 32 bpp needs 16 bytes, not 15.
      {refusal<SetCursorImage>(with({1}, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0,
                                          128, 0, 0, 0, 15})),
       "setCursorImage: 15 bytes for a 2x2 cursor at 32 bpp"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.got, c.expected);
  // A value of 1025 bytes.
  EXPECT_NE(refusal<SetParams>({1, 'A', 0, 0, 4, 1}), "accepted");
}

TEST(Msg, WritersRefuseBeforeWritingAnything) {
  SetCursorImage shortCursor = cursor(2, 2);
  shortCursor.pixels.pop_back();
  MonitorsUpdated tooMany;
  tooMany.monitors.resize(256);
  const std::function<void(rdr::OutStreamV4&)> writes[] = {
      [](auto& out) { writeMsg(out, SetParams{{{"A", std::string(1025, 'x'), 10}}}); },
      [](auto& out) { writeMsg(out, SetColourMapEntries{0, {}}); },
      [](auto& out) { writeMsg(out, SetColourMapEntries{255, {{}, {}}}); },
      [&](auto& out) { writeMsg(out, shortCursor); },
      [&](auto& out) { writeMsg(out, tooMany); },
  };
  for (const auto& write : writes) {
    rdr::MemOutStream mem;
    rdr::OutStreamV4 out(&mem);
    EXPECT_THROW(write(out), plat::Exception);
    // A refusal after the name would leave a name without its payload on
    // the wire, which the peer takes as truncated and closes the channel on.
    EXPECT_EQ(mem.length(), 0u);
    EXPECT_FALSE(out.inMsg());
  }
}

// A server channel and an agent channel joined by a socket pair, each with
// the reader of what the other side sends.
class ReaderOnChannelTest : public testing::Test,
                            public io::MsgIpc::Callback,
                            public FromAgentHandler,
                            public ToAgentHandler {
protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    server.accept(std::make_unique<io::FdIo>(fds[0]));
    agent.accept(std::make_unique<io::FdIo>(fds[1]));
    fromAgent.addHandler(static_cast<FromAgentHandler&>(*this));
    toAgent.addHandler(static_cast<ToAgentHandler&>(*this));
  }

  void ipcClosed(io::MsgIpc&) override { closed++; }
  void fbUpdate(const FbUpdate& msg) override { updates.push_back(msg); }
  void logMsg(const LogMsg& msg) override { logs.push_back(msg.text); }
  void setParams(const SetParams& msg) override { params.push_back(msg); }

  io::FdSelectManager manager;
  io::MsgIpc server{*this, "Server"};
  io::MsgIpc agent{*this, "Agent"};
  FromAgentReader fromAgent{server};
  ToAgentReader toAgent{agent};
  int closed = 0;
  std::vector<FbUpdate> updates;
  std::vector<std::string> logs;
  std::vector<SetParams> params;
};

TEST_F(ReaderOnChannelTest, LargeMessagesReachTheHandlersWholeAndInOrder) {
  FbUpdate update{rfb::Region(rfb::Rect(0, 0, 10, 10)), 4, 5, scattered(20000, 12)};
  sendMsg(agent, LogMsg{30, "A", "before"});
  sendMsg(agent, update);
  sendMsg(agent, LogMsg{30, "A", "after"});
  SetParams set{{{"PollInterval", "20", 10}, {"UseXFixes", "0", 30}}};
  sendMsg(server, set);
  ASSERT_TRUE(testsupport::pumpUntil(manager, [&] { return logs.size() == 2 && params.size() == 1; }));
  EXPECT_EQ(updates, std::vector<FbUpdate>{update});
  EXPECT_EQ(logs, (std::vector<std::string>{"before", "after"}));
  EXPECT_EQ(params[0], set);
  EXPECT_EQ(fromAgent.received("fbUpdate"), 1u);
  EXPECT_EQ(closed, 0);
}

TEST_F(ReaderOnChannelTest, HandlerMayRemoveItselfWhileCalled) {
  struct Once : FromAgentHandler {
    FromAgentReader* reader = nullptr;
    int calls = 0;
    void bell(const Bell&) override {
      calls++;
      reader->removeHandler(*this);
    }
  } once;
  once.reader = &fromAgent;
  fromAgent.addHandler(once);
  sendMsg(agent, Bell{});
  sendMsg(agent, Bell{});
  ASSERT_TRUE(testsupport::pumpUntil(manager, [&] { return fromAgent.received("bell") == 2; }));
  EXPECT_EQ(once.calls, 1);
}

} // namespace
} // namespace agenthost::test
