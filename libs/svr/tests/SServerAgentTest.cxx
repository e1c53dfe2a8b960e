#include "AgentWire.h"

#include "libs/svr/CloseReason.h"
#include "libs/svr/SDesktop.h"
#include "libs/svr/SServerAgent.h"
#include "libs/svr/UpdateInfo.h"

#include "base/io/FdIo.h"
#include "base/io/FdSelectManager.h"
#include "base/plat/Exception.h"
#include "base/plat/IntParameter.h"
#include "base/plat/unix/SharedMem.h"
#include "base/plat/StringParameter.h"
#include "base/rfb/ColourMap.h"
#include "base/rfb/CursorWithAlpha.h"
#include "base/rfb/ManagedPixelBuffer.h"
#include "testsupport/LogRecorder.h"
#include "testsupport/LoopPump.h"
#include "testsupport/SocketPeer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <random>

namespace svr {
namespace {

using test::append;
using test::Bytes;
using test::Message;
using test::message;
using test::Payload;

plat::IntParameter testLevel("SServerAgentTestLevel", "A level for the protocol tests", 5, 0,
                             1000);
plat::StringParameter testWord("SServerAgentTestWord", "A word for the protocol tests", "plain");

// Records every call in one event list shared with the owner, so that tests
// can check the order of what happened on both sides.
class FakeDesktop : public SDesktop {
public:
  explicit FakeDesktop(std::vector<std::string>& events) : events_(events) {}

  void keyEvent(uint32_t keysym, bool down) override {
    events_.push_back("key " + std::to_string(keysym) + (down ? " down" : " up"));
  }
  void pointerEvent(const rfb::Point& p, uint32_t buttonMask, bool relative) override {
    events_.push_back("pointer " + std::to_string(p.x) + "," + std::to_string(p.y) + " " +
                      std::to_string(buttonMask) + (relative ? " relative" : " absolute"));
  }
  void clientCutText(std::string_view text) override {
    events_.push_back("cut " + std::to_string(text.size()));
    cutTexts.emplace_back(text);
  }
  void start(SServer&) override {
    events_.push_back("start");
    if (failStart)
      throw plat::Exception("no screen today", "NoScreen");
  }
  void stop() override { events_.push_back("stop"); }
  void requestUpdate() override { events_.push_back("requestUpdate"); }
  rfb::Rect getRect() override { return rect; }
  bool getPF(rfb::PixelFormat& format) override {
    format = pf;
    return true;
  }

  size_t count(const std::string& event) const {
    return size_t(std::count(events_.begin(), events_.end(), event));
  }

  rfb::Rect rect{0, 0, 640, 480};
  rfb::PixelFormat pf = rfb::PixelFormat::rgb888();
  bool failStart = false;
  std::vector<std::string> cutTexts;

private:
  std::vector<std::string>& events_;
};

// A segment description the test can recognise; no memory is shared.
class FakeSharedMem : public plat::SharedMem {
public:
  explicit FakeSharedMem(Bytes description) : description_(std::move(description)) {}
  std::vector<uint8_t> description() const override { return description_; }

private:
  Bytes description_;
};

// A buffer "in shared memory" that records what it was asked to grab.
class ShmBuffer : public rfb::ManagedPixelBuffer {
public:
  ShmBuffer(const rfb::PixelFormat& pf, const rfb::Rect& rect, plat::SharedMem* shm,
            rfb::ColourMap* colourMap = nullptr)
    : rfb::ManagedPixelBuffer(pf, rect, colourMap), shm_(shm) {}
  plat::SharedMem* getSharedMem() override { return shm_; }
  void grabRegion(const rfb::Region& region) override {
    if (failGrab)
      throw plat::Exception("grab failed", "XError");
    grabbed.push_back(region);
  }

  std::vector<rfb::Region> grabbed;
  bool failGrab = false;

private:
  plat::SharedMem* shm_;
};

class GreyRamp : public rfb::ColourMap {
public:
  void getColour(int index, rfb::Colour* colour) const override {
    if (index < 0 || index >= size())
      return;
    *colour = rfb::Colour{uint32_t(index), uint32_t(255 - index), uint32_t(index / 2), 255};
  }
  int size() const override { return 256; }
};

class SServerAgentTest : public testing::Test, public SServerAgent::Callback {
protected:
  // Also called again by tests that need a new connection.
  void SetUp() override {
    peer.emplace();
    agent.accept(std::make_unique<io::FdIo>(peer->takeOurs()));
  }

  void desktopRunning(SServerAgent&, bool running) override {
    events.push_back(running ? "running" : "not running");
  }
  void serverDisconnected(SServerAgent&) override { events.push_back("disconnected"); }

  void peerSend(const Bytes& bytes) {
    // While the agent's socket buffer is full, let it read.
    peer->send(bytes, [&] { manager.processEvents(10); });
  }

  // Reads what the peer has; false once the agent has closed its end.
  bool peerRead() { return peer->receive(received); }

  bool pumpUntil(const std::function<bool()>& condition) {
    return testsupport::pumpUntil(manager, condition);
  }

  // Every complete message the agent sent since the last call.
  std::vector<Message> sent() {
    peerRead();
    return test::takeMessages(received);
  }

  // Sent messages other than the greeting, once there are at least
  // `atLeast` of them (and whatever else has arrived by then).
  std::vector<Message> sentAfterGreeting(size_t atLeast = 0) {
    std::vector<Message> got;
    bool arrived = pumpUntil([&] {
      std::vector<Message> more = sent();
      std::erase_if(more, [](const Message& m) {
        return m.name == "init" || m.name == "initRectAndPf";
      });
      got.insert(got.end(), more.begin(), more.end());
      return got.size() >= atLeast;
    });
    EXPECT_TRUE(arrived) << "only " << got.size() << " of " << atLeast << " messages arrived";
    return got;
  }

  bool peerSeesEnd() {
    return pumpUntil([&] { return !peerRead(); });
  }

  size_t count(const std::string& event) const {
    return size_t(std::count(events.begin(), events.end(), event));
  }

  testsupport::LogRecorder log{"SServerAgent", 110};
  std::vector<std::string> events;
  io::FdSelectManager manager;
  FakeDesktop desktop{events};
  SServerAgent agent{*this, desktop};
  std::optional<testsupport::SocketPeer> peer;
  Bytes received;
};

bool logged(testsupport::LogRecorder& log, const std::string& text) {
  auto texts = log.texts();
  return std::find(texts.begin(), texts.end(), text) != texts.end();
}

TEST_F(SServerAgentTest, GreetsWithTheMagicThenTheScreenRectangleAndFormat) {
  std::vector<Message> got = sent();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].name, "init");
  EXPECT_EQ(got[0].payload, (Bytes{0x7c, 0xca, 0x9e, 0xcb}));
  EXPECT_EQ(got[1].name, "initRectAndPf");
  Payload in(got[1]);
  EXPECT_EQ(in.readS32(), 0);
  EXPECT_EQ(in.readS32(), 0);
  EXPECT_EQ(in.readS32(), 640);
  EXPECT_EQ(in.readS32(), 480);
  rfb::PixelFormat pf;
  pf.read(in);
  EXPECT_TRUE(pf == rfb::PixelFormat::rgb888());
  EXPECT_TRUE(in.atEnd());
}

TEST_F(SServerAgentTest, SecondUpdateRequestBeforeAnUpdateIsIgnored) {
  peerSend(message("fbUpdateRequest"));
  peerSend(message("fbUpdateRequest"));
  peerSend(message("keyEvent", [](rdr::OutStream& out) {
    out.writeU32(0x61);
    out.writeU8(1);
  }));
  ASSERT_TRUE(pumpUntil([&] { return desktop.count("key 97 down") == 1; }));
  EXPECT_EQ(count("requestUpdate"), 1u);
  EXPECT_TRUE(agent.isUpdateRequested());

  agent.fbUpdate(UpdateInfo{});
  EXPECT_FALSE(agent.isUpdateRequested());
  peerSend(message("fbUpdateRequest"));
  ASSERT_TRUE(pumpUntil([&] { return count("requestUpdate") == 2; }));
}

TEST_F(SServerAgentTest, InputCutAtEveryByteIsDeliveredOnceWithItsValues) {
  Bytes wire = message("pointerEvent", [](rdr::OutStream& out) {
    out.writeS32(-3);
    out.writeS32(70000);
    out.writeU32(0x85);
    out.writeU8(2);
  });
  append(wire, message("keyEvent", [](rdr::OutStream& out) {
    out.writeU32(0xffe1);
    out.writeU8(0);
  }));
  for (size_t i = 0; i < wire.size(); i++) {
    peerSend(Bytes{wire[i]});
    manager.processEvents(0);
  }
  ASSERT_TRUE(pumpUntil([&] { return desktop.count("key 65505 up") == 1; }));
  EXPECT_EQ(count("pointer -3,70000 133 relative"), 1u);
  EXPECT_EQ(events.size(), 2u) << testing::PrintToString(events);
}

TEST_F(SServerAgentTest, LongClipboardTextInPiecesIsDeliveredWholeOnce) {
  std::mt19937 random(20240611);
  std::string text(100000, '\0');
  for (char& c : text)
    c = char('a' + random() % 26);
  Bytes wire = message("clientCutText", [&](rdr::OutStream& out) { out.writeString(text); });
  append(wire, message("keyEvent", [](rdr::OutStream& out) {
    out.writeU32(1);
    out.writeU8(1);
  }));
  // Pieces of varied sizes, each given to the agent before the next, so the
  // text arrives over many reads and across frame boundaries.
  size_t at = 0;
  while (at < wire.size()) {
    size_t piece = std::min<size_t>(wire.size() - at, 1 + random() % 9000);
    peerSend(Bytes(wire.begin() + at, wire.begin() + at + piece));
    manager.processEvents(0);
    at += piece;
  }
  ASSERT_TRUE(pumpUntil([&] { return desktop.count("key 1 down") == 1; }));
  ASSERT_EQ(desktop.cutTexts.size(), 1u);
  EXPECT_TRUE(desktop.cutTexts[0] == text);
  EXPECT_EQ(count("cut 100000"), 1u);
}

TEST_F(SServerAgentTest, ClipboardLengthWithBit31ClosesTheChannel) {
  // Such a length used to be taken as a length: gigabytes were allocated
  // for a text that could never arrive.
  for (uint32_t length : {0x80000000u, 0xffffffffu, 0x80000001u}) {
    SCOPED_TRACE(length);
    Bytes wire = message("clientCutText", [&](rdr::OutStream& out) {
      out.writeU32(length);
      out.writeBytes("abc", 3);
    });
    SetUp();
    sent();
    events.clear();
    log.clear();
    peerSend(wire);
    ASSERT_TRUE(pumpUntil([&] { return count("disconnected") == 1; }));
    EXPECT_TRUE(peerSeesEnd());
    EXPECT_TRUE(desktop.cutTexts.empty());
    EXPECT_TRUE(logged(log, "clientCutText: invalid length " + std::to_string(length) +
                              ", closing the connection"))
      << testing::PrintToString(log.texts());
  }
}

TEST_F(SServerAgentTest, SetParamsAppliesReplacesAndChecksDefaults) {
  struct Record {
    std::string name;
    std::string value;
    uint32_t priority;
  };
  struct Case {
    const char* title;
    std::vector<Record> records;
    int level;
    std::string word;
    std::vector<std::string> logs;
  };
  const std::vector<Case> cases = {
    {"value at a priority", {{"SServerAgentTestLevel", "42", 10}}, 42, "plain", {}},
    {"names compare without case", {{"sservERAGENTtestword", "fancy", 20}}, 5, "fancy", {}},
    {"unknown name is skipped, later records apply",
     {{"NoSuchParameter", "1", 10}, {"SServerAgentTestLevel", "43", 10}},
     43,
     "plain",
     {"Unknown parameter 'NoSuchParameter'"}},
    {"matching default", {{"SServerAgentTestWord", "plain", 0}}, 5, "plain", {}},
    {"mismatching default leaves the agent's",
     {{"SServerAgentTestLevel", "6", 0}},
     5,
     "plain",
     {"Bad default for parameter 'SServerAgentTestLevel': '6' != '5'"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    testLevel.reset(false);
    testWord.reset(false);
    // Values the server's records must replace.
    testLevel.setParam("7", 10);
    testLevel.setParam("9", 30);
    log.clear();
    Bytes wire = message("setParams", [&](rdr::OutStream& out) {
      for (const Record& r : c.records) {
        out.writeShortString(r.name);
        out.writeString(r.value);
        out.writeU32(r.priority);
      }
    });
    append(wire, message("keyEvent", [](rdr::OutStream& out) {
      out.writeU32(2);
      out.writeU8(1);
    }));
    events.clear();
    peerSend(wire);
    ASSERT_TRUE(pumpUntil([&] { return count("key 2 down") == 1; }));
    bool levelTouched = std::any_of(c.records.begin(), c.records.end(), [](const Record& r) {
      return r.name == "SServerAgentTestLevel";
    });
    EXPECT_EQ(testLevel.getValue(), levelTouched ? c.level : 9);
    EXPECT_EQ(testWord.getValue(), c.word);
    if (levelTouched) {
      EXPECT_FALSE(testLevel.hasValueAt(30));
    }
    std::vector<std::string> errors;
    for (const auto& line : log.lines()) {
      if (line.level == 0)
        errors.push_back(line.text);
    }
    EXPECT_EQ(errors, c.logs);
  }
  testLevel.reset(false);
  testWord.reset(false);
}

TEST_F(SServerAgentTest, SetParamsValueOverTheLimitClosesTheChannel) {
  peerSend(message("setParams", [](rdr::OutStream& out) {
    out.writeShortString("SServerAgentTestWord");
    out.writeString(std::string(1025, 'x'));
    out.writeU32(10);
  }));
  ASSERT_TRUE(pumpUntil([&] { return count("disconnected") == 1; }));
  EXPECT_EQ(testWord.getValue(), "plain");
}

TEST_F(SServerAgentTest, SamePixelBufferTwiceIsAnnouncedOnce) {
  FakeSharedMem shm({0xa1, 0xa2, 0xa3});
  ShmBuffer pb(rfb::PixelFormat::rgb888(), rfb::Rect(0, 0, 64, 32), &shm);
  agent.setPixelBuffer(&pb);
  agent.setPixelBuffer(&pb);
  // The bell marks the end of what the two calls sent.
  agent.bell();
  std::vector<Message> got = sentAfterGreeting(2);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1].name, "bell");
  EXPECT_EQ(got[0].name, "setPixelBuffer");
  Payload in(got[0]);
  rfb::PixelFormat pf;
  pf.read(in);
  EXPECT_TRUE(pf == rfb::PixelFormat::rgb888());
  EXPECT_EQ(in.readS32(), 0);
  EXPECT_EQ(in.readS32(), 0);
  EXPECT_EQ(in.readS32(), 64);
  EXPECT_EQ(in.readS32(), 32);
  EXPECT_EQ(in.readU32(), 64u);
  EXPECT_EQ(in.readU8(), 1);
  EXPECT_EQ(in.readU8(), 0xa1);
  EXPECT_EQ(in.readU8(), 0xa2);
  EXPECT_EQ(in.readU8(), 0xa3);
  EXPECT_TRUE(in.atEnd());
  // The whole buffer is filled before the server hears of it.
  ASSERT_EQ(pb.grabbed.size(), 1u);
  EXPECT_TRUE(pb.grabbed[0] == rfb::Region(rfb::Rect(0, 0, 64, 32)));
  EXPECT_TRUE(logged(log, "setPixelBuffer 64x32 at 0,0 pf " + pf.print()));
}

TEST_F(SServerAgentTest, NewRectangleInTheSameSegmentIsNotDescribedAgain) {
  FakeSharedMem shm({0xb1});
  FakeSharedMem otherShm({0xb2});
  ShmBuffer first(rfb::PixelFormat::rgb888(), rfb::Rect(0, 0, 64, 32), &shm);
  ShmBuffer second(rfb::PixelFormat::rgb888(), rfb::Rect(8, 8, 40, 24), &shm);
  ShmBuffer third(rfb::PixelFormat::rgb888(), rfb::Rect(8, 8, 40, 24), &otherShm);
  agent.setPixelBuffer(&first);
  agent.setPixelBuffer(&second);
  agent.setPixelBuffer(&third);
  std::vector<Message> got = sentAfterGreeting(3);
  ASSERT_EQ(got.size(), 3u);
  const uint8_t expectedTail[3][2] = {{1, 0xb1}, {0, 0}, {1, 0xb2}};
  for (int i = 0; i < 3; i++) {
    SCOPED_TRACE(i);
    Payload in(got[i]);
    in.skip(16 + 16 + 4);
    EXPECT_EQ(in.readU8(), expectedTail[i][0]);
    if (expectedTail[i][0]) {
      EXPECT_EQ(in.readU8(), expectedTail[i][1]);
    }
    EXPECT_TRUE(in.atEnd());
  }
}

TEST_F(SServerAgentTest, ColourMapBufferIsFollowedByItsColours) {
  GreyRamp colourMap;
  FakeSharedMem shm({0xc1});
  ShmBuffer pb(rfb::PixelFormat::pal8(), rfb::Rect(0, 0, 16, 16), &shm, &colourMap);
  agent.setPixelBuffer(&pb);
  std::vector<Message> got = sentAfterGreeting(2);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].name, "setPixelBuffer");
  EXPECT_EQ(got[1].name, "setColourMapEntries");
  Payload in(got[1]);
  EXPECT_EQ(in.readU8(), 0);
  EXPECT_EQ(in.readU8(), 255);
  for (int i = 0; i < 256; i++) {
    SCOPED_TRACE(i);
    ASSERT_EQ(in.readU8(), i);
    ASSERT_EQ(in.readU8(), 255 - i);
    ASSERT_EQ(in.readU8(), i / 2);
  }
  EXPECT_TRUE(in.atEnd());
}

TEST_F(SServerAgentTest, BufferOutsideSharedMemoryIsNotAnnounced) {
  ShmBuffer pb(rfb::PixelFormat::rgb888(), rfb::Rect(0, 0, 8, 8), nullptr);
  agent.setPixelBuffer(&pb);
  agent.bell();
  std::vector<Message> got = sentAfterGreeting(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].name, "bell");
  EXPECT_TRUE(logged(log, "PB is not using shared memory"));
}

TEST_F(SServerAgentTest, NoCursorIsASingleZeroByte) {
  agent.setCursorImage(nullptr);
  std::vector<Message> got = sentAfterGreeting(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].name, "setCursorImage");
  EXPECT_EQ(got[0].payload, Bytes{0});
}

TEST_F(SServerAgentTest, CursorTravelsAsAlphaPixelsRowByRow) {
  // 3x2, hotspot 1,1; pixels chosen so that row order and stride show.
  const unsigned long image[] = {0xff000001, 0x80000002, 0x00000000,
                                 0xff000004, 0xff000005, 0x40000006};
  std::unique_ptr<rfb::CursorWithAlpha> cursor =
    rfb::CursorWithAlpha::fromImage(3, 2, 1, 1, image);
  ASSERT_TRUE(cursor);
  agent.setCursorImage(cursor.get());
  std::vector<Message> got = sentAfterGreeting(1);
  ASSERT_EQ(got.size(), 1u);
  Payload in(got[0]);
  EXPECT_EQ(in.readU8(), 1);
  rfb::PixelFormat pf;
  pf.read(in);
  EXPECT_TRUE(pf == cursor->getPF());
  EXPECT_EQ(pf.bpp, 32);
  EXPECT_EQ(in.readS32(), -1);
  EXPECT_EQ(in.readS32(), -1);
  EXPECT_EQ(in.readS32(), 2);
  EXPECT_EQ(in.readS32(), 1);
  EXPECT_EQ(in.readU32(), 128u);
  ASSERT_EQ(in.readU32(), 3u * 2u * 4u);
  for (int y = 0; y < 2; y++) {
    for (int x = 0; x < 3; x++) {
      SCOPED_TRACE(testing::Message() << x << "," << y);
      uint8_t bytes[4];
      in.readBytes(bytes, 4);
      uint32_t pixel = pf.bigEndian ? uint32_t(bytes[0]) << 24 | bytes[1] << 16 | bytes[2] << 8 | bytes[3]
                                    : uint32_t(bytes[3]) << 24 | bytes[2] << 16 | bytes[1] << 8 | bytes[0];
      EXPECT_EQ(pixel, cursor->pixelAt(x, y));
    }
  }
  EXPECT_TRUE(in.atEnd());
}

TEST_F(SServerAgentTest, UpdateGrabsBothRegionsThenNamesThem) {
  FakeSharedMem shm({0xd1});
  ShmBuffer pb(rfb::PixelFormat::rgb888(), rfb::Rect(0, 0, 100, 100), &shm);
  agent.setPixelBuffer(&pb);
  pb.grabbed.clear();
  UpdateInfo update;
  update.copied = rfb::Region(rfb::Rect(10, 10, 20, 20));
  update.offset = rfb::Point(5, -3);
  update.changed = rfb::Region(rfb::Rect(50, 50, 60, 70));
  agent.fbUpdate(update);
  std::vector<Message> got = sentAfterGreeting(2);
  ASSERT_EQ(got[1].name, "fbUpdate");
  ASSERT_EQ(pb.grabbed.size(), 1u);
  EXPECT_TRUE(pb.grabbed[0] == update.copied.unite(update.changed));
  Payload in(got[1]);
  rfb::Region copied, changed;
  copied.read(in);
  EXPECT_EQ(in.readS32(), 5);
  EXPECT_EQ(in.readS32(), -3);
  changed.read(in);
  EXPECT_TRUE(copied == update.copied);
  EXPECT_TRUE(changed == update.changed);
  EXPECT_TRUE(in.atEnd());
}

TEST_F(SServerAgentTest, UpdateWhosePixelsCannotBeGrabbedIsNotAnnounced) {
  // Announcing it would have had the server send pixels that were never
  // copied into the shared buffer; the request now stays open instead, and
  // the failure reaches the caller, which keeps the regions (it used to be
  // swallowed here, and the regions were lost).
  FakeSharedMem shm({0xd2});
  ShmBuffer pb(rfb::PixelFormat::rgb888(), rfb::Rect(0, 0, 100, 100), &shm);
  agent.setPixelBuffer(&pb);
  peerSend(message("fbUpdateRequest"));
  ASSERT_TRUE(pumpUntil([&] { return agent.isUpdateRequested(); }));
  pb.failGrab = true;
  UpdateInfo update;
  update.changed = rfb::Region(rfb::Rect(0, 0, 10, 10));
  EXPECT_THROW(agent.fbUpdate(update), plat::Exception);
  EXPECT_TRUE(agent.isUpdateRequested());
  pb.failGrab = false;
  agent.fbUpdate(update);
  EXPECT_FALSE(agent.isUpdateRequested());
  std::vector<Message> got = sentAfterGreeting(2);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].name, "setPixelBuffer");
  EXPECT_EQ(got[1].name, "fbUpdate");
}

TEST_F(SServerAgentTest, SameBlankRegionIsSentOnce) {
  rfb::Region blank(rfb::Rect(1, 2, 3, 4));
  agent.setBlankRegion(blank);
  agent.setBlankRegion(blank);
  agent.setBlankRegion(rfb::Region());
  std::vector<Message> got = sentAfterGreeting(2);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].name, "setBlankRegion");
  EXPECT_EQ(got[1].name, "setBlankRegion");
}

TEST_F(SServerAgentTest, SmallMessagesCarryTheirPayloads) {
  agent.setCursorPos(rfb::Point(-7, 300));
  agent.serverCutText("copied");
  agent.localInput();
  agent.closeClients(CloseReason{std::string(2000, 'm'), "Shutdown", 7});
  agent.desktopUidChanged(1000, "/home/u/.Xauthority");
  agent.desktopFailure(plat::Exception("screen gone", "Gone"));
  std::vector<Message> got = sentAfterGreeting(6);
  ASSERT_EQ(got.size(), 6u);

  Payload pos(got[0]);
  EXPECT_EQ(got[0].name, "setCursorPos");
  EXPECT_EQ(pos.readS32(), -7);
  EXPECT_EQ(pos.readS32(), 300);

  Payload cut(got[1]);
  EXPECT_EQ(got[1].name, "serverCutText");
  EXPECT_EQ(cut.readString(100), "copied");

  EXPECT_EQ(got[2].name, "localInput");
  EXPECT_TRUE(got[2].payload.empty());

  Payload close(got[3]);
  EXPECT_EQ(got[3].name, "closeClients");
  EXPECT_EQ(close.readString(5000), std::string(1024, 'm'));
  EXPECT_EQ(close.readShortString(), "Shutdown");
  EXPECT_EQ(close.readU32(), 7u);

  Payload uid(got[4]);
  EXPECT_EQ(got[4].name, "desktopUidChanged");
  EXPECT_EQ(uid.readU64(), 1000u);
  EXPECT_EQ(uid.readShortString(), "/home/u/.Xauthority");

  Payload failure(got[5]);
  EXPECT_EQ(got[5].name, "desktopFailure");
  EXPECT_EQ(failure.readShortString(), "screen gone");
  EXPECT_EQ(failure.readShortString(), "Gone");
}

TEST_F(SServerAgentTest, StartAndStopFollowTheServer) {
  peerSend(message("stop"));
  peerSend(message("start"));
  peerSend(message("start"));
  peerSend(message("fbUpdateRequest"));
  peerSend(message("stop"));
  peerSend(message("stop"));
  ASSERT_TRUE(pumpUntil([&] { return count("not running") == 1; }));
  manager.processEvents(0);
  EXPECT_EQ(events, (std::vector<std::string>{"start", "running", "requestUpdate", "stop",
                                              "not running"}));
  EXPECT_FALSE(agent.isUpdateRequested());
  EXPECT_FALSE(agent.desktopStarted());
}

TEST_F(SServerAgentTest, ServerClosingWhileStartedStopsTheDesktopFirst) {
  peerSend(message("start"));
  ASSERT_TRUE(pumpUntil([&] { return agent.desktopStarted(); }));
  peer->close();
  ASSERT_TRUE(pumpUntil([&] { return count("disconnected") == 1; }));
  EXPECT_EQ(events,
            (std::vector<std::string>{"start", "running", "stop", "not running", "disconnected"}));
  EXPECT_FALSE(agent.desktopStarted());
}

TEST_F(SServerAgentTest, FailedStartIsReportedAndEndsTheConnection) {
  desktop.failStart = true;
  peerSend(message("start"));
  ASSERT_TRUE(pumpUntil([&] { return count("disconnected") == 1; }));
  EXPECT_FALSE(agent.desktopStarted());
  EXPECT_EQ(count("running"), 0u);
  EXPECT_TRUE(logged(log, "Starting desktop failed: [NoScreen] no screen today"));
  std::vector<Message> got = sentAfterGreeting(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].name, "desktopFailure");
  Payload in(got[0]);
  EXPECT_EQ(in.readShortString(), "no screen today");
  EXPECT_EQ(in.readShortString(), "NoScreen");
}

TEST_F(SServerAgentTest, DestroyingTheAgentStopsAStartedDesktop) {
  std::vector<std::string> otherEvents;
  FakeDesktop other(otherEvents);
  {
    testsupport::SocketPeer secondPeer;
    SServerAgent second(*this, other);
    second.accept(std::make_unique<io::FdIo>(secondPeer.takeOurs()));
    secondPeer.send(message("start"));
    ASSERT_TRUE(pumpUntil([&] { return second.desktopStarted(); }));
  }
  EXPECT_EQ(otherEvents, (std::vector<std::string>{"start", "stop"}));
}

} // namespace
} // namespace svr
