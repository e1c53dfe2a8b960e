#include "StreamTestSupport.h"

#include "base/rdr/BlockException.h"
#include "base/rdr/BufferedOutStream.h"
#include "base/rdr/InStreamV4.h"
#include "base/rdr/MemInStream.h"
#include "base/rdr/MemOutStream.h"
#include "base/rdr/OutStreamV4.h"
#include "testsupport/ArrivingInStream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>

namespace rdr::test {
namespace {

using testsupport::ArrivingInStream;
using Bytes = std::vector<uint8_t>;

// The data of a framed byte stream, checking that the frames cover it
// exactly, are at most maxFrameData long, empty only when last, and that
// only the final one is last. Returns the number of frames.
size_t unframe(const Bytes& wire, Bytes& data) {
  size_t at = 0, frames = 0;
  bool last = false;
  while (at < wire.size()) {
    EXPECT_FALSE(last) << "a frame after the last one";
    EXPECT_LE(at + 2, wire.size()) << "truncated header";
    unsigned header = unsigned(wire[at]) << 8 | wire[at + 1];
    size_t length = header & 0x7fff;
    last = header & 0x8000;
    EXPECT_LE(length, OutStreamV4::maxFrameData);
    EXPECT_TRUE(last || length > 0) << "empty frame that is not the last";
    EXPECT_LE(at + 2 + length, wire.size()) << "truncated frame";
    data.insert(data.end(), wire.begin() + long(at + 2), wire.begin() + long(at + 2 + length));
    at += 2 + length;
    frames++;
  }
  EXPECT_TRUE(last);
  return frames;
}

Bytes written(MemOutStream& mem) {
  return Bytes(mem.data(), mem.data() + mem.length());
}

// Frames a body by hand: one frame per entry of `sizes` (the last one marked).
Bytes frameByHand(const Bytes& body, const std::vector<size_t>& sizes) {
  Bytes wire;
  size_t at = 0;
  for (size_t i = 0; i < sizes.size(); i++) {
    appendBE(wire, sizes[i] | (i + 1 == sizes.size() ? 0x8000 : 0), 2);
    wire.insert(wire.end(), body.begin() + long(at), body.begin() + long(at + sizes[i]));
    at += sizes[i];
  }
  return wire;
}

// A buffered output stream whose sink takes everything: frames are cut at the
// ends of its 16384-byte windows as well as at the frame limit.
class CollectingOutStream : public BufferedOutStream {
public:
  Bytes sunk;

protected:
  size_t writeSome(const uint8_t* data, size_t n, bool) override {
    sunk.insert(sunk.end(), data, data + n);
    return n;
  }
};

TEST(FramedOutStream, SmallMessagesExactly) {
  struct Case {
    const char* name;
    std::function<void(OutStreamV4&)> write;
    Bytes wire;
  };
  const Case cases[] = {
    {"flush, then end: an empty last frame",
     [](OutStreamV4& out) { out.startMsg(); out.writeShortString("abc"); out.flush(); out.endMsg(true); },
     {0x00, 0x04, 0x03, 'a', 'b', 'c', 0x80, 0x00}},
    {"framed over framed nests frames",
     [](OutStreamV4& outer) {
       OutStreamV4 inner(&outer);
       outer.startMsg();
       inner.startMsg();
       inner.writeU8(0x41);
       inner.endMsg(false);
       outer.endMsg(false);
     },
     {0x80, 0x03, 0x80, 0x01, 0x41}},
    {"an abandoned message is ended and the next one starts",
     [](OutStreamV4& out) {
       out.startMsg();
       out.writeU8(1);
       out.abandonMsg();
       out.startMsg();
       out.writeU8(2);
       out.endMsg(false);
     },
     {0x80, 0x01, 0x01, 0x80, 0x01, 0x02}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemOutStream mem;
    OutStreamV4 out(&mem);
    c.write(out);
    EXPECT_EQ(written(mem), c.wire);
    EXPECT_FALSE(out.inMsg());
  }
}

TEST(FramedOutStream, LongBodiesAreCutAtTheFrameLimitAndAtWindowEnds) {
  // Room for everything up front: only the frame limit cuts frames.
  const auto body = pattern(2 * OutStreamV4::maxFrameData + 1000, 7);
  MemOutStream mem(200000);
  OutStreamV4 out(&mem);
  out.startMsg();
  out.writeShortString("name");
  out.writeBytes(body.data(), body.size());
  out.endMsg(false);
  Bytes wire = written(mem), data;
  EXPECT_EQ(unframe(wire, data), 3u);
  EXPECT_EQ(wire[2 + 32766 + 2 + 32766 + 1], 0xed) << "last frame of 1005 bytes";
  MemInStream min(wire.data(), wire.size());
  InStreamV4 in(&min);
  ASSERT_TRUE(in.startMsg(true));
  EXPECT_EQ(in.readShortString(), "name");
  Bytes back(body.size());
  in.readBytes(back.data(), back.size());
  EXPECT_EQ(back, body);
  in.endMsg();

  // Random items into a buffered stream, so that items meet both kinds of
  // frame end.
  std::mt19937 rng(11);
  RandomItems items(rng, 1500);
  CollectingOutStream sink;
  OutStreamV4 framed(&sink);
  framed.startMsg();
  items.write(framed);
  framed.endMsg(true);
  Bytes got;
  EXPECT_GT(unframe(sink.sunk, got), 6u);
  EXPECT_EQ(got, items.wire);
  EXPECT_EQ(framed.length(), items.wire.size());
}

// Messages of random items, framed at random cuts (with empty non-last
// frames), arriving in random steps; a restartable reader takes the items and
// checkpoints after each.
TEST(FramedInStream, RandomFramingAndArrivalsGiveBackTheItems) {
  std::mt19937 rng(2024);
  for (int round = 0; round < 40; round++) {
    SCOPED_TRACE(round);
    std::vector<RandomItems> messages;
    Bytes wire;
    for (int m = 1 + int(rng() % 4); m > 0; m--) {
      RandomItems message(rng, rng() % 30);
      std::vector<size_t> sizes;
      for (size_t left = message.wire.size(); left > 0 || sizes.empty();) {
        size_t n = rng() % 4 == 0 ? 0 : std::min<size_t>(left, 1 + rng() % 700);
        sizes.push_back(n);
        left -= n;
      }
      if (rng() % 3 == 0)
        sizes.push_back(0);
      auto framed = frameByHand(message.wire, sizes);
      wire.insert(wire.end(), framed.begin(), framed.end());
      messages.push_back(std::move(message));
    }

    ArrivingInStream source(wire, 4096);
    InStreamV4 in(&source);
    size_t message = 0, done = 0;
    bool open = false;
    for (int arrivals = 0; message < messages.size() && arrivals < 10000; arrivals++) {
      source.arrive(1 + rng() % 300);
      try {
        while (message < messages.size() && (open || in.startMsg(false))) {
          if (!open)
            in.checkpoint();
          open = true;
          if (!messages[message].resume(in, done))
            break;
          EXPECT_TRUE(in.atEnd());
          in.endMsg();
          open = false;
          done = 0;
          message++;
        }
      } catch (const BlockException&) {
        // More must arrive; the reader runs again from its checkpoint.
      }
    }
    EXPECT_EQ(message, messages.size());
  }
}

} // namespace
} // namespace rdr::test
