#include "FramedFeed.h"

#include "base/plat/Exception.h"
#include "base/rdr/EndOfMsg.h"
#include "base/rdr/StringTooLongException.h"
#include "libs/agentmsg/FromAgentMsgs.h"
#include "libs/agentmsg/ToAgentMsgs.h"

#include <gtest/gtest.h>

namespace agenthost::test {

using namespace agentmsg;

namespace {

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

template <class Msg>
std::string refusal(const std::vector<uint8_t>& payload) {
  try {
    readArriving<Msg>(rawMsg(Msg::name, payload), 1000000);
  } catch (plat::Exception& e) {
    return e.what();
  }
  return "accepted";
}

TEST(MsgRefusal, PayloadsOutOfRangeAreRefused) {
  struct Case {
    const char* what;
    std::string got;
    const char* expected;
  } cases[] = {
      {"init magic", refusal<Init>({1, 2, 3, 4}), "init: bad magic 01020304"},
      {"colour map past 256", refusal<SetColourMapEntries>({200, 99, 0}),
       "setColourMapEntries: 100 entries from 200 do not fit"},
      {"cut text with bit 31", refusal<ClientCutText>({0x80, 0, 0, 0}),
       "clientCutText: length 2147483648 exceeds 67108864"},
      {"server cut text too long", refusal<ServerCutText>({0x04, 0, 0, 1}),
       "serverCutText: length 67108865 exceeds 67108864"},
      {"uid beyond 32 bits", refusal<DesktopUidChanged>({0, 0, 0, 1, 0, 0, 0, 0, 0}),
       "desktopUidChanged: uid 4294967296 out of range"},
      {"segment type 2",
       refusal<SetPixelBuffer>({32, 24, 0, 1, 0, 255, 0, 255, 0, 255, 16, 8, 0, 0, 0, 0,  // pf
                                0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1,             // rect
                                0, 0, 0, 1, 1, 2}),
       "Unsupported memory type received"},
      // 2x2 at 32 bpp needs 16 bytes, not 15.
      {"cursor byte count",
       refusal<SetCursorImage>({1, 32, 24, 0, 1, 0, 255, 0, 255, 0, 255, 16, 8, 0, 0, 0, 0,
                                0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0, 128,
                                0, 0, 0, 15}),
       "setCursorImage: 15 bytes for a 2x2 cursor at 32 bpp"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.got, c.expected);
  }
}

TEST(MsgRefusal, OverlongParameterValueIsRefusedByTheReader) {
  std::vector<uint8_t> payload{1, 'A', 0, 0, 4, 1};  // value of 1025 bytes
  EXPECT_THROW(readArriving<SetParams>(rawMsg("setParams", payload), 1000000),
               rdr::StringTooLongException);
}

TEST(MsgRefusal, TruncatedPayloadEndsTheMessage) {
  EXPECT_THROW(readArriving<PointerEvent>(rawMsg("pointerEvent", {0, 0, 0, 1, 0, 0}), 1000000),
               rdr::EndOfMsg);
}

TEST(MsgRefusal, WritersRefuseBeforeWritingAnything) {
  struct Case {
    const char* what;
    std::function<void(rdr::OutStreamV4&)> write;
  } cases[] = {
      {"value too long",
       [](rdr::OutStreamV4& out) {
         writeMsg(out, SetParams{{{"A", std::string(1025, 'x'), 10}}});
       }},
      {"no colours", [](rdr::OutStreamV4& out) { writeMsg(out, SetColourMapEntries{0, {}}); }},
      {"colours past 256",
       [](rdr::OutStreamV4& out) { writeMsg(out, SetColourMapEntries{255, {{}, {}}}); }},
      {"cursor pixels short",
       [](rdr::OutStreamV4& out) {
         SetCursorImage c;
         c.present = true;
         c.pf = rfb::PixelFormat::argb8888();
         c.rect = rfb::Rect(0, 0, 2, 2);
         c.pixels.resize(15);
         writeMsg(out, c);
       }},
      {"256 monitors",
       [](rdr::OutStreamV4& out) {
         MonitorsUpdated m;
         m.monitors.resize(256);
         writeMsg(out, m);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    rdr::MemOutStream mem;
    rdr::OutStreamV4 out(&mem);
    EXPECT_THROW(c.write(out), plat::Exception);
    // A refusal after the name would leave a name without its payload on
    // the wire, which the peer takes as truncated and closes the channel on.
    EXPECT_EQ(mem.length(), 0u);
    EXPECT_FALSE(out.inMsg());
  }
}

} // namespace
} // namespace agenthost::test
