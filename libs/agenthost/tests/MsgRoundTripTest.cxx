#include "FramedFeed.h"

#include "base/rfb/Region.h"
#include "libs/agentmsg/FromAgentMsgs.h"
#include "libs/agentmsg/ToAgentMsgs.h"

#include <gtest/gtest.h>

#include <random>
#include <tuple>

namespace agenthost::test {

using namespace agentmsg;

namespace {

std::string textOf(size_t length, unsigned seed) {
  std::mt19937 rng(seed);
  std::string text(length, ' ');
  for (char& c : text)
    c = char('a' + rng() % 26);
  return text;
}

rfb::Region scatteredRegion(int boxes, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<rfb::Rect> rects;
  for (int i = 0; i < boxes; i++) {
    int x = int(rng() % 2000), y = int(rng() % 2000);
    rects.push_back(rfb::Rect(x, y, x + 1 + int(rng() % 40), y + 1 + int(rng() % 40)));
  }
  return rfb::Region(rects);
}

SetCursorImage cursor(int w, int h) {
  SetCursorImage c;
  c.present = true;
  c.pf = rfb::PixelFormat::argb8888();
  c.rect = rfb::Rect(-3, -5, w - 3, h - 5);
  c.pixels.resize(size_t(w) * h * 4);
  for (size_t i = 0; i < c.pixels.size(); i++)
    c.pixels[i] = uint8_t(i * 7);
  return c;
}

MonitorsUpdated monitors(int count) {
  MonitorsUpdated m;
  for (int i = 0; i < count; i++)
    m.monitors.push_back(MonitorInfo{i == 0, 0, 1, 24, rfb::Rect(i * 1920, 0, (i + 1) * 1920, 1080),
                                     std::to_string(i + 1), ""});
  m.parameterSpec = "";
  m.effectiveSpec = "2";
  return m;
}

SetPixelBuffer pixelBuffer(bool withSegment, bool sysV) {
  SetPixelBuffer p;
  p.pf = rfb::PixelFormat::rgb888();
  p.rect = rfb::Rect(0, 0, 1024, 768);
  p.stride = 1030;
  if (withSegment) {
    SegmentDescription d;
    d.size = 1030 * 768 * 4;
    if (sysV) {
      d.type = SegmentDescription::sysV;
      d.id = 123456;
    } else {
      d.name = "/kwo-4242-7";
      d.position = 4100;
    }
    p.segment = d;
  }
  return p;
}

// One sample of every message of both directions.
auto samples() {
  return std::make_tuple(
      Start{}, Stop{}, FbUpdateRequest{}, PointerEvent{-5, 70000, 0x1f, true},
      KeyEvent{0xffe1, true}, ClientCutText{"clipboard \xc3\xa9 text"},
      SetParams{{{"PollInterval", "20", 10}, {"Log", "*:stderr:100", 0}, {"Empty", "", 30}}},
      SetXServerOwner{1000, 0xffffffffffffffffULL}, SetDisplayMode{1920, 1080},
      SetMonitor{"1920x1080 at 1920,0"}, SetLogLevel{110}, BadMsg{"zzz"}, Init{},
      InitRectAndPf{rfb::Rect(0, 0, 1280, 1024), rfb::PixelFormat::bgr888()},
      pixelBuffer(true, false), pixelBuffer(true, true), pixelBuffer(false, false),
      SetColourMapEntries{250, {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}, {10, 11, 12}, {13, 14, 15}, {255, 0, 128}}},
      FbUpdate{scatteredRegion(5, 1), -16, 32, scatteredRegion(9, 2)}, cursor(16, 24),
      SetCursorImage{}, SetCursorPos{-1, 40000}, Bell{}, ServerCutText{""}, LocalInput{},
      SetBlankRegion{scatteredRegion(3, 3)}, DesktopFailure{"Cannot open display", "System-2"},
      CloseClients{"Server shutting down", "Shutdown", 7}, CaptureBroken{true},
      DesktopUidChanged{1000, "/run/user/1000/gdm/Xauthority"}, monitors(3),
      DisplayModesSupported{true}, DisplayModesUpdated{}, LogMsg{100, "SDesktopX11", "Polling"});
}

TEST(MsgRoundTrip, EveryMessageComesBackEqualWholeAndInRandomPieces) {
  std::mt19937 rng(5);
  std::apply(
      [&](const auto&... msg) {
        (
            [&] {
              using Msg = std::decay_t<decltype(msg)>;
              SCOPED_TRACE(Msg::name);
              std::vector<uint8_t> wire = framed(msg);
              EXPECT_EQ(readArriving<Msg>(wire, wire.size()), msg);
              EXPECT_EQ(readArriving<Msg>(wire, 1 + rng() % 7), msg);
            }(),
            ...);
      },
      samples());
}

// Messages with stages, records and long blocks, fed one byte at a time.
TEST(MsgRoundTrip, StagedMessagesSurviveArrivalOneByteAtATime) {
  auto check = [](const auto& msg) {
    using Msg = std::decay_t<decltype(msg)>;
    SCOPED_TRACE(Msg::name);
    EXPECT_EQ(readArriving<Msg>(framed(msg), 1), msg);
  };
  check(FbUpdate{scatteredRegion(40, 4), 3, -3, scatteredRegion(25, 5)});
  check(SetParams{{{"A", "1", 10}, {"B", std::string(1024, 'v'), 10}, {"C", "", 0}}});
  check(cursor(20, 20));
  check(monitors(4));
  check(pixelBuffer(true, false));
  check(SetBlankRegion{scatteredRegion(30, 6)});
  check(ClientCutText{textOf(5000, 7)});
}

TEST(MsgRoundTrip, LongTextsSpanManyFramesAndArrivals) {
  ClientCutText cut{textOf(100000, 8)};
  EXPECT_EQ(readArriving<ClientCutText>(framed(cut), 333), cut);
  ServerCutText back{textOf(70000, 9)};
  EXPECT_EQ(readArriving<ServerCutText>(framed(back), 4096), back);
}

TEST(MsgRoundTrip, WireFormsAreTheDocumentedBytes) {
  struct Case {
    const char* what;
    std::vector<uint8_t> wire;
    std::vector<uint8_t> expected;
  } cases[] = {
      {"bell", framed(Bell{}), {0x80, 0x05, 0x04, 'b', 'e', 'l', 'l'}},
      {"init", framed(Init{}), {0x80, 0x09, 0x04, 'i', 'n', 'i', 't', 0x7C, 0xCA, 0x9E, 0xCB}},
      {"setCursorImage absent",
       framed(SetCursorImage{}),
       {0x80, 0x10, 0x0e, 's', 'e', 't', 'C', 'u', 'r', 's', 'o', 'r', 'I', 'm', 'a', 'g', 'e', 0}},
      {"desktopUidChanged",
       framed(DesktopUidChanged{0x01020304, "x"}),
       {0x80, 0x1c, 0x11, 'd', 'e', 's', 'k', 't', 'o', 'p', 'U', 'i', 'd', 'C', 'h', 'a', 'n', 'g',
        'e', 'd', 0, 0, 0, 0, 1, 2, 3, 4, 1, 'x'}},
      {"keyEvent",
       framed(KeyEvent{0x41, true}),
       {0x80, 0x0e, 0x08, 'k', 'e', 'y', 'E', 'v', 'e', 'n', 't', 0, 0, 0, 0x41, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.wire, c.expected);
  }
}

} // namespace
} // namespace agenthost::test
