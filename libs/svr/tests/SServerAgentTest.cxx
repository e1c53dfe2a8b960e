#include "AgentWire.h"

#include "libs/svr/SDesktop.h"
#include "libs/svr/SServerAgent.h"
#include "libs/svr/UpdateInfo.h"

#include "base/io/FdIo.h"
#include "base/io/FdSelectManager.h"
#include "base/plat/Exception.h"
#include "base/plat/IntParameter.h"
#include "base/plat/unix/SharedMem.h"
#include "base/plat/StringParameter.h"
#include "base/rfb/CursorWithAlpha.h"
#include "base/rfb/ManagedPixelBuffer.h"
#include "libs/agentmsg/FromAgentMsgs.h"
#include "libs/agentmsg/ToAgentMsgs.h"
#include "testsupport/LogRecorder.h"
#include "testsupport/LoopPump.h"
#include "testsupport/SocketPeer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>
#include <random>

namespace svr {
namespace {

using namespace agentmsg;
using test::Bytes;
using test::decode;
using test::Message;
using test::message;
using test::wire;

plat::IntParameter testLevel("SServerAgentTestLevel", "A level for the protocol tests", 5, 0,
                             1000);
plat::StringParameter testWord("SServerAgentTestWord", "A word for the protocol tests", "plain");

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
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

// A System V segment of that id, described; no memory is shared.
class FakeSharedMem : public plat::SharedMem {
public:
  explicit FakeSharedMem(int32_t id) : id_(id) {}
  std::vector<uint8_t> description() const override {
    rdr::MemOutStream out;
    SegmentDescription{SegmentDescription::sysV, 4096, "", false, 0, id_}.write(out);
    return out.takeData();
  }

private:
  int32_t id_;
};

// A buffer "in shared memory" that records what it was asked to grab.
class ShmBuffer : public rfb::ManagedPixelBuffer {
public:
  ShmBuffer(const rfb::Rect& rect, plat::SharedMem* shm)
    : rfb::ManagedPixelBuffer(rfb::PixelFormat::rgb888(), rect), shm_(shm) {}
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

  // Sent messages other than the greeting, once there are at least
  // `atLeast` of them (and whatever else has arrived by then).
  std::vector<Message> sentAfterGreeting(size_t atLeast) {
    std::vector<Message> got;
    bool arrived = pumpUntil([&] {
      peer->receive(received);
      for (Message& m : test::takeMessages(received)) {
        if (m.name != Init::name && m.name != InitRectAndPf::name)
          got.push_back(std::move(m));
      }
      return got.size() >= atLeast;
    });
    EXPECT_TRUE(arrived) << "only " << got.size() << " of " << atLeast << " messages arrived";
    return got;
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

TEST_F(SServerAgentTest, InputInPiecesOfAnySizeIsDeliveredOnceWithItsValues) {
  std::mt19937 random(20240611);
  std::string text(100000, '\0');
  for (char& c : text)
    c = char('a' + random() % 26);
  Bytes all = wire(PointerEvent{-3, 70000, 0x85, true}) + wire(ClientCutText{text}) +
              wire(KeyEvent{0xffe1, false});
  // Single bytes first, then pieces of varied sizes, each given to the
  // agent before the next, so the text arrives across frame boundaries.
  for (size_t at = 0, piece = 1; at < all.size(); at += piece) {
    piece = std::min<size_t>(all.size() - at, at < 64 ? 1 : 1 + random() % 9000);
    peerSend(Bytes(all.begin() + long(at), all.begin() + long(at + piece)));
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
    peer->receive(received);
    received.clear();
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
      EXPECT_THAT(log.texts(), testing::Contains("clientCutText: invalid length " +
                                                 std::to_string(length) +
                                                 ", closing the connection"));
    }
  }
}

TEST_F(SServerAgentTest, SetParamsAppliesReplacesAndChecksDefaults) {
  struct Case {
    const char* title;
    std::vector<ParamRecord> records;
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
    events.clear();
    peerSend(wire(SetParams{c.records}) + wire(KeyEvent{2, true}));
    ASSERT_TRUE(pumpUntil([&] { return count("key 2 down") == 1; }));
    bool levelTouched = std::any_of(c.records.begin(), c.records.end(), [](const auto& r) {
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
  FakeSharedMem shm(11);
  FakeSharedMem otherShm(22);
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
  const int32_t segmentIds[] = {11, -1, 22};
  for (int i = 0; i < 3; i++) {
    SCOPED_TRACE(i);
    SetPixelBuffer announced = decode<SetPixelBuffer>(got[i]);
    EXPECT_EQ(announced.rect, i ? rfb::Rect(8, 8, 40, 24) : rfb::Rect(0, 0, 64, 32));
    EXPECT_TRUE(announced.pf == rfb::PixelFormat::rgb888());
    EXPECT_EQ(announced.stride, i ? 32u : 64u);
    EXPECT_EQ(announced.segment ? announced.segment->id : -1, segmentIds[i]);
  }
  // The whole buffer is filled before the server hears of it.
  ASSERT_EQ(first.grabbed.size(), 1u);
  EXPECT_TRUE(first.grabbed[0] == rfb::Region(rfb::Rect(0, 0, 64, 32)));
  EXPECT_THAT(log.texts(), testing::Contains("PB is not using shared memory"));
}

TEST_F(SServerAgentTest, CursorTravelsAsAlphaPixelsRowByRowAndNoCursorAsAbsent) {
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
  EXPECT_EQ(decode<SetCursorImage>(got[1]), SetCursorImage{});
  SetCursorImage sent = decode<SetCursorImage>(got[0]);
  EXPECT_TRUE(sent.present);
  EXPECT_TRUE(sent.pf == cursor->getPF());
  EXPECT_EQ(sent.rect, rfb::Rect(-1, -1, 2, 1));
  EXPECT_EQ(sent.alphaThreshold, 128u);
  ASSERT_EQ(sent.pixels.size(), 3u * 2u * 4u);
  for (int i = 0; i < 6; i++) {
    uint32_t pixel;
    std::memcpy(&pixel, &sent.pixels[i * 4], 4);
    EXPECT_EQ(pixel, cursor->pixelAt(i % 3, i / 3)) << i;
  }
}

TEST_F(SServerAgentTest, UpdateGrabsBothRegionsThenNamesThem) {
  // An update whose pixels cannot be grabbed used to be announced anyway,
  // and the server sent pixels never copied into the shared buffer; the
  // request now stays open, and the failure reaches the caller, which keeps
  // the regions (it used to be swallowed here, and the regions were lost).
  FakeSharedMem shm(44);
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
  ASSERT_EQ(pb.grabbed.size(), 1u);
  EXPECT_TRUE(pb.grabbed[0] == update.copied.unite(update.changed));
  EXPECT_EQ(decode<FbUpdate>(got[1]), (FbUpdate{update.copied, 5, -3, update.changed}));
}

TEST_F(SServerAgentTest, StartStopAndUpdateRequestsFollowTheServerAndItsGoing) {
  // A second request before an update asks the desktop nothing more.
  for (const char* name : {"stop", "start", "start", "fbUpdateRequest", "fbUpdateRequest"})
    peerSend(message(name));
  ASSERT_TRUE(pumpUntil([&] { return count("requestUpdate") == 1; }));
  EXPECT_TRUE(agent.isUpdateRequested());
  agent.fbUpdate(UpdateInfo{});
  EXPECT_FALSE(agent.isUpdateRequested());
  for (const char* name : {"fbUpdateRequest", "stop", "stop", "start"})
    peerSend(message(name));
  ASSERT_TRUE(pumpUntil([&] { return count("running") == 2; }));
  EXPECT_EQ(events, (std::vector<std::string>{"start", "running", "requestUpdate", "requestUpdate",
                                              "stop", "not running", "start", "running"}));
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
  EXPECT_THAT(log.texts(),
              testing::Contains("Starting desktop failed: [NoScreen] no screen today"));
  std::vector<Message> got = sentAfterGreeting(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(decode<DesktopFailure>(got[0]), (DesktopFailure{"no screen today", "NoScreen"}));
}

} // namespace
} // namespace svr
