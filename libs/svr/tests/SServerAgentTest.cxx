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

Bytes keyMsg(uint32_t keysym, bool down) {
  return message("keyEvent", [=](rdr::OutStream& out) {
    out.writeU32(keysym);
    out.writeU8(down);
  });
}

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
  void clientCutText(std::string_view text) override { cutTexts.emplace_back(text); }
  void start(SServer&) override {
    events_.push_back("start");
    if (failStart)
      throw plat::Exception("no screen today", "NoScreen");
  }
  void stop() override { events_.push_back("stop"); }
  void requestUpdate() override { events_.push_back("requestUpdate"); }
  rfb::Rect getRect() override { return {0, 0, 640, 480}; }
  bool getPF(rfb::PixelFormat& format) override {
    format = rfb::PixelFormat::rgb888();
    return true;
  }

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
  ShmBuffer(const rfb::Rect& rect, plat::SharedMem* shm, rfb::ColourMap* colourMap = nullptr)
    : rfb::ManagedPixelBuffer(colourMap ? rfb::PixelFormat::pal8() : rfb::PixelFormat::rgb888(),
                              rect, colourMap),
      shm_(shm) {}
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

  bool pumpUntil(const std::function<bool()>& condition) {
    return testsupport::pumpUntil(manager, condition);
  }

  // Every complete message the agent sent since the last call.
  std::vector<Message> sent() {
    peer->receive(received);
    return test::takeMessages(received);
  }

  // Sent messages other than the greeting, once there are at least
  // `atLeast` of them (and whatever else has arrived by then).
  std::vector<Message> sentAfterGreeting(size_t atLeast) {
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

  size_t count(const std::string& event) const {
    return size_t(std::count(events.begin(), events.end(), event));
  }

  bool logged(const std::string& text) {
    auto texts = log.texts();
    return std::find(texts.begin(), texts.end(), text) != texts.end();
  }

  testsupport::LogRecorder log{"SServerAgent", 110};
  std::vector<std::string> events;
  io::FdSelectManager manager;
  FakeDesktop desktop{events};
  SServerAgent agent{*this, desktop};
  std::optional<testsupport::SocketPeer> peer;
  Bytes received;
};

TEST_F(SServerAgentTest, SecondUpdateRequestBeforeAnUpdateIsIgnored) {
  peerSend(message("fbUpdateRequest"));
  peerSend(message("fbUpdateRequest"));
  peerSend(keyMsg(0x61, true));
  ASSERT_TRUE(pumpUntil([&] { return count("key 97 down") == 1; }));
  EXPECT_EQ(count("requestUpdate"), 1u);
  EXPECT_TRUE(agent.isUpdateRequested());

  agent.fbUpdate(UpdateInfo{});
  EXPECT_FALSE(agent.isUpdateRequested());
  peerSend(message("fbUpdateRequest"));
  ASSERT_TRUE(pumpUntil([&] { return count("requestUpdate") == 2; }));
}

TEST_F(SServerAgentTest, InputInPiecesOfAnySizeIsDeliveredOnceWithItsValues) {
  std::mt19937 random(20240611);
  std::string text(100000, '\0');
  for (char& c : text)
    c = char('a' + random() % 26);
  Bytes wire = message("pointerEvent", [](rdr::OutStream& out) {
    out.writeS32(-3);
    out.writeS32(70000);
    out.writeU32(0x85);
    out.writeU8(2);
  });
  append(wire, message("clientCutText", [&](rdr::OutStream& out) { out.writeString(text); }));
  append(wire, keyMsg(0xffe1, false));
  // Single bytes first, then pieces of varied sizes, each given to the
  // agent before the next, so the text arrives across frame boundaries.
  for (size_t at = 0, piece = 1; at < wire.size(); at += piece) {
    piece = std::min<size_t>(wire.size() - at, at < 64 ? 1 : 1 + random() % 9000);
    peerSend(Bytes(wire.begin() + long(at), wire.begin() + long(at + piece)));
    manager.processEvents(0);
  }
  ASSERT_TRUE(pumpUntil([&] { return count("key 65505 up") == 1; }));
  EXPECT_EQ(events, (std::vector<std::string>{"pointer -3,70000 133 relative", "key 65505 up"}));
  ASSERT_EQ(desktop.cutTexts.size(), 1u);
  EXPECT_TRUE(desktop.cutTexts[0] == text);
}

TEST_F(SServerAgentTest, BadLengthsCloseTheChannel) {
  // A clipboard length with bit 31 set used to be taken as a length:
  // gigabytes were allocated for a text that could never arrive.
  for (uint32_t length : {0x80000000u, 0xffffffffu, 0x80000001u, 0u}) {
    SCOPED_TRACE(length);
    SetUp();
    sent();
    events.clear();
    log.clear();
    if (length) {
      peerSend(message("clientCutText", [&](rdr::OutStream& out) {
        out.writeU32(length);
        out.writeBytes("abc", 3);
      }));
    } else {
      peerSend(message("setParams", [](rdr::OutStream& out) {
        out.writeShortString("SServerAgentTestWord");
        out.writeString(std::string(1025, 'x'));
        out.writeU32(10);
      }));
    }
    ASSERT_TRUE(pumpUntil([&] { return count("disconnected") == 1; }));
    EXPECT_TRUE(pumpUntil([&] { return !peer->receive(received); }));
    EXPECT_TRUE(desktop.cutTexts.empty());
    EXPECT_EQ(testWord.getValue(), "plain");
    if (length) {
      EXPECT_TRUE(logged("clientCutText: invalid length " + std::to_string(length) +
                         ", closing the connection"));
    }
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
    append(wire, keyMsg(2, true));
    events.clear();
    peerSend(wire);
    ASSERT_TRUE(pumpUntil([&] { return count("key 2 down") == 1; }));
    bool levelTouched = std::any_of(c.records.begin(), c.records.end(), [](const Record& r) {
      return r.name == "SServerAgentTestLevel";
    });
    EXPECT_EQ(testLevel.getValue(), levelTouched ? c.level : 9);
    EXPECT_EQ(testWord.getValue(), c.word);
    EXPECT_EQ(testLevel.hasValueAt(30), !levelTouched);
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

TEST_F(SServerAgentTest, ABufferIsAnnouncedOnceAndItsSegmentDescribedOnce) {
  FakeSharedMem shm({0xa1, 0xa2, 0xa3});
  FakeSharedMem otherShm({0xb2});
  ShmBuffer first(rfb::Rect(0, 0, 64, 32), &shm);
  ShmBuffer sameSegment(rfb::Rect(8, 8, 40, 24), &shm);
  ShmBuffer otherSegment(rfb::Rect(8, 8, 40, 24), &otherShm);
  ShmBuffer unshared(rfb::Rect(0, 0, 8, 8), nullptr);
  for (ShmBuffer* pb : {&first, &first, &sameSegment, &otherSegment, &unshared})
    agent.setPixelBuffer(pb);
  // The bell marks the end of what the calls sent.
  agent.bell();
  std::vector<Message> got = sentAfterGreeting(4);
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[3].name, "bell");
  Payload in(got[0]);
  EXPECT_EQ(got[0].name, "setPixelBuffer");
  rfb::PixelFormat pf;
  pf.read(in);
  EXPECT_TRUE(pf == rfb::PixelFormat::rgb888());
  for (int expected : {0, 0, 64, 32})
    EXPECT_EQ(in.readS32(), expected);
  EXPECT_EQ(in.readU32(), 64u);
  const Bytes segmentTails[3] = {{1, 0xa1, 0xa2, 0xa3}, {0}, {1, 0xb2}};
  for (int i = 0; i < 3; i++) {
    SCOPED_TRACE(i);
    Bytes tail(got[i].payload.end() - long(segmentTails[i].size()), got[i].payload.end());
    EXPECT_EQ(tail, segmentTails[i]);
    EXPECT_EQ(got[i].payload.size(), 16 + 16 + 4 + segmentTails[i].size());
  }
  // The whole buffer is filled before the server hears of it.
  ASSERT_EQ(first.grabbed.size(), 1u);
  EXPECT_TRUE(first.grabbed[0] == rfb::Region(rfb::Rect(0, 0, 64, 32)));
  EXPECT_TRUE(logged("PB is not using shared memory"));
}

TEST_F(SServerAgentTest, ColourMapBufferIsFollowedByItsColours) {
  GreyRamp colourMap;
  FakeSharedMem shm({0xc1});
  ShmBuffer pb(rfb::Rect(0, 0, 16, 16), &shm, &colourMap);
  agent.setPixelBuffer(&pb);
  std::vector<Message> got = sentAfterGreeting(2);
  ASSERT_EQ(got.size(), 2u);
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

TEST_F(SServerAgentTest, CursorTravelsAsAlphaPixelsRowByRowAndNoCursorAsAZeroByte) {
  // 3x2, hotspot 1,1; pixels chosen so that row order and stride show.
  const unsigned long image[] = {0xff000001, 0x80000002, 0x00000000,
                                 0xff000004, 0xff000005, 0x40000006};
  std::unique_ptr<rfb::CursorWithAlpha> cursor =
    rfb::CursorWithAlpha::fromImage(3, 2, 1, 1, image);
  ASSERT_TRUE(cursor);
  agent.setCursorImage(cursor.get());
  agent.setCursorImage(nullptr);
  std::vector<Message> got = sentAfterGreeting(2);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1].name, "setCursorImage");
  EXPECT_EQ(got[1].payload, Bytes{0});
  Payload in(got[0]);
  EXPECT_EQ(in.readU8(), 1);
  rfb::PixelFormat pf;
  pf.read(in);
  EXPECT_TRUE(pf == cursor->getPF());
  for (int expected : {-1, -1, 2, 1})
    EXPECT_EQ(in.readS32(), expected);
  EXPECT_EQ(in.readU32(), 128u);
  ASSERT_EQ(in.readU32(), 3u * 2u * 4u);
  for (int i = 0; i < 6; i++) {
    uint8_t bytes[4];
    in.readBytes(bytes, 4);
    const uint32_t pixel = pf.bigEndian ? uint32_t(bytes[0]) << 24 | bytes[1] << 16 | bytes[2] << 8 | bytes[3]
                                        : uint32_t(bytes[3]) << 24 | bytes[2] << 16 | bytes[1] << 8 | bytes[0];
    EXPECT_EQ(pixel, cursor->pixelAt(i % 3, i / 3)) << i;
  }
  EXPECT_TRUE(in.atEnd());
}

TEST_F(SServerAgentTest, UpdateGrabsBothRegionsThenNamesThem) {
  // An update whose pixels cannot be grabbed used to be announced anyway,
  // and the server sent pixels never copied into the shared buffer; the
  // request now stays open, and the failure reaches the caller, which keeps
  // the regions (it used to be swallowed here, and the regions were lost).
  FakeSharedMem shm({0xd1});
  ShmBuffer pb(rfb::Rect(0, 0, 100, 100), &shm);
  agent.setPixelBuffer(&pb);
  pb.grabbed.clear();
  peerSend(message("fbUpdateRequest"));
  ASSERT_TRUE(pumpUntil([&] { return agent.isUpdateRequested(); }));
  UpdateInfo update;
  update.copied = rfb::Region(rfb::Rect(10, 10, 20, 20));
  update.offset = rfb::Point(5, -3);
  update.changed = rfb::Region(rfb::Rect(50, 50, 60, 70));
  pb.failGrab = true;
  EXPECT_THROW(agent.fbUpdate(update), plat::Exception);
  EXPECT_TRUE(agent.isUpdateRequested());
  pb.failGrab = false;
  agent.fbUpdate(update);
  EXPECT_FALSE(agent.isUpdateRequested());
  std::vector<Message> got = sentAfterGreeting(2);
  ASSERT_EQ(got.size(), 2u);
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

TEST_F(SServerAgentTest, SmallMessagesCarryTheirPayloads) {
  rfb::Region blank(rfb::Rect(1, 2, 3, 4));
  agent.setBlankRegion(blank);
  agent.setBlankRegion(blank); // the same region again: not sent
  agent.setCursorPos(rfb::Point(-7, 300));
  agent.serverCutText("copied");
  agent.localInput();
  agent.closeClients(CloseReason{std::string(2000, 'm'), "Shutdown", 7});
  agent.desktopUidChanged(1000, "/home/u/.Xauthority");
  agent.desktopFailure(plat::Exception("screen gone", "Gone"));
  std::vector<Message> got = sentAfterGreeting(7);
  ASSERT_EQ(got.size(), 7u);
  EXPECT_EQ(got[0].name, "setBlankRegion");

  Payload pos(got[1]);
  EXPECT_EQ(got[1].name, "setCursorPos");
  EXPECT_EQ(pos.readS32(), -7);
  EXPECT_EQ(pos.readS32(), 300);

  EXPECT_EQ(got[2].name, "serverCutText");
  EXPECT_EQ(Payload(got[2]).readString(100), "copied");

  EXPECT_EQ(got[3].name, "localInput");
  EXPECT_TRUE(got[3].payload.empty());

  Payload close(got[4]);
  EXPECT_EQ(got[4].name, "closeClients");
  EXPECT_EQ(close.readString(5000), std::string(1024, 'm'));
  EXPECT_EQ(close.readShortString(), "Shutdown");
  EXPECT_EQ(close.readU32(), 7u);

  Payload uid(got[5]);
  EXPECT_EQ(got[5].name, "desktopUidChanged");
  EXPECT_EQ(uid.readU64(), 1000u);
  EXPECT_EQ(uid.readShortString(), "/home/u/.Xauthority");

  Payload failure(got[6]);
  EXPECT_EQ(got[6].name, "desktopFailure");
  EXPECT_EQ(failure.readShortString(), "screen gone");
  EXPECT_EQ(failure.readShortString(), "Gone");
}

TEST_F(SServerAgentTest, StartAndStopFollowTheServerAndItsGoing) {
  for (const char* name : {"stop", "start", "start", "fbUpdateRequest", "stop", "stop", "start"})
    peerSend(message(name));
  ASSERT_TRUE(pumpUntil([&] { return count("running") == 2; }));
  EXPECT_EQ(events, (std::vector<std::string>{"start", "running", "requestUpdate", "stop",
                                              "not running", "start", "running"}));
  EXPECT_FALSE(agent.isUpdateRequested());
  // The server going while started stops the desktop first.
  peer->close();
  ASSERT_TRUE(pumpUntil([&] { return count("disconnected") == 1; }));
  EXPECT_EQ(std::vector<std::string>(events.end() - 3, events.end()),
            (std::vector<std::string>{"stop", "not running", "disconnected"}));
  EXPECT_FALSE(agent.desktopStarted());
}

TEST_F(SServerAgentTest, FailedStartIsReportedAndEndsTheConnection) {
  desktop.failStart = true;
  peerSend(message("start"));
  ASSERT_TRUE(pumpUntil([&] { return count("disconnected") == 1; }));
  EXPECT_FALSE(agent.desktopStarted());
  EXPECT_EQ(count("running"), 0u);
  EXPECT_TRUE(logged("Starting desktop failed: [NoScreen] no screen today"));
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
