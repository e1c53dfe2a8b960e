#include "StreamTestSupport.h"

#include "base/rdr/BlockException.h"
#include "base/rdr/BufferedOutStream.h"
#include "base/rdr/EndOfMsg.h"
#include "base/rdr/FrameException.h"
#include "base/rdr/InStreamV4.h"
#include "base/rdr/MemInStream.h"
#include "base/rdr/MemOutStream.h"
#include "base/rdr/OutStreamV4.h"
#include "testsupport/ArrivingInStream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace rdr::test {
namespace {

using testsupport::ArrivingInStream;

struct Frame {
  size_t length;
  bool last;
};

// The frames of a byte stream, checked to cover it exactly.
std::vector<Frame> parseFrames(const std::vector<uint8_t>& wire, std::vector<uint8_t>* data) {
  std::vector<Frame> frames;
  size_t at = 0;
  while (at < wire.size()) {
    EXPECT_LE(at + 2, wire.size()) << "truncated header";
    unsigned header = unsigned(wire[at]) << 8 | wire[at + 1];
    Frame frame{header & 0x7fff, (header & 0x8000) != 0};
    at += 2;
    EXPECT_LE(at + frame.length, wire.size()) << "truncated frame";
    if (data)
      data->insert(data->end(), wire.begin() + at, wire.begin() + at + frame.length);
    at += frame.length;
    frames.push_back(frame);
  }
  return frames;
}

std::vector<uint8_t> written(MemOutStream& mem) {
  return std::vector<uint8_t>(mem.data(), mem.data() + mem.length());
}

// Frames a body by hand: one frame per entry of `sizes` (the last one marked).
std::vector<uint8_t> frameByHand(const std::vector<uint8_t>& body, const std::vector<size_t>& sizes) {
  std::vector<uint8_t> wire;
  size_t at = 0;
  for (size_t i = 0; i < sizes.size(); i++) {
    bool last = i + 1 == sizes.size();
    appendBE(wire, sizes[i] | (last ? 0x8000 : 0), 2);
    wire.insert(wire.end(), body.begin() + at, body.begin() + at + sizes[i]);
    at += sizes[i];
  }
  EXPECT_EQ(at, body.size());
  return wire;
}

// A buffered output stream whose sink takes everything: frames are cut at the
// ends of its 16384-byte windows as well as at the frame limit.
class CollectingOutStream : public BufferedOutStream {
public:
  std::vector<uint8_t> sunk;

protected:
  size_t writeSome(const uint8_t* data, size_t n, bool) override {
    sunk.insert(sunk.end(), data, data + n);
    return n;
  }
};

TEST(FramedOutStream, BellIsOneLastFrame) {
  MemOutStream mem;
  OutStreamV4 out(&mem);
  out.startMsg();
  out.writeShortString("bell");
  out.endMsg(false);
  EXPECT_EQ(written(mem), (std::vector<uint8_t>{0x80, 0x05, 0x04, 0x62, 0x65, 0x6C, 0x6C}));
  EXPECT_EQ(out.length(), 5u);
}

TEST(FramedOutStream, LongBodyInMemoryGoesAsFullFramesThenTheRest) {
  const auto body = pattern(2 * OutStreamV4::maxFrameData + 1000, 7);
  // Room for everything up front: only the frame limit cuts frames.
  MemOutStream mem(200000);
  OutStreamV4 out(&mem);
  out.startMsg();
  out.writeBytes(body.data(), body.size());
  out.endMsg(false);

  std::vector<uint8_t> data;
  auto frames = parseFrames(written(mem), &data);
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0].length, 32766u);
  EXPECT_EQ(frames[1].length, 32766u);
  EXPECT_EQ(frames[2].length, 1000u);
  EXPECT_FALSE(frames[0].last);
  EXPECT_FALSE(frames[1].last);
  EXPECT_TRUE(frames[2].last);
  EXPECT_EQ(data, body);
}

TEST(FramedOutStream, FramesAlsoEndWhereTheUnderlyingWindowEnds) {
  // Mixed items and blocks, so that items meet both kinds of frame end.
  std::mt19937 rng(11);
  const auto block = pattern(100000, 3);
  CollectingOutStream sink;
  OutStreamV4 out(&sink);
  std::vector<uint8_t> expected;
  out.startMsg();
  for (size_t at = 0; at < block.size();) {
    size_t n = std::min<size_t>(block.size() - at, rng() % 5000);
    out.writeBytes(block.data() + at, n);
    expected.insert(expected.end(), block.begin() + at, block.begin() + at + n);
    at += n;
    uint32_t v = rng();
    out.writeU32(v);
    appendBE(expected, v, 4);
  }
  out.endMsg(true);

  std::vector<uint8_t> data;
  auto frames = parseFrames(sink.sunk, &data);
  ASSERT_GT(frames.size(), 3u);
  for (size_t i = 0; i < frames.size(); i++) {
    SCOPED_TRACE(i);
    EXPECT_LE(frames[i].length, OutStreamV4::maxFrameData);
    EXPECT_EQ(frames[i].last, i + 1 == frames.size());
    if (i + 1 < frames.size()) {
      EXPECT_GT(frames[i].length, 0u) << "empty frame that is not the last";
    }
  }
  EXPECT_EQ(data, expected);
  EXPECT_EQ(out.length(), expected.size());
}

TEST(FramedOutStream, FlushThenEndGivesAnEmptyLastFrame) {
  MemOutStream mem;
  OutStreamV4 out(&mem);
  out.startMsg();
  out.writeShortString("abc");
  out.flush();
  out.endMsg(true);
  EXPECT_EQ(written(mem), (std::vector<uint8_t>{0x00, 0x04, 0x03, 'a', 'b', 'c', 0x80, 0x00}));
}

TEST(FramedOutStream, FlushWithNothingWrittenSendsNoEmptyFrame) {
  MemOutStream mem;
  OutStreamV4 out(&mem);
  out.startMsg();
  out.flush();
  out.flush();
  out.writeU8(9);
  out.endMsg(false);
  EXPECT_EQ(written(mem), (std::vector<uint8_t>{0x80, 0x01, 0x09}));
}

TEST(FramedOutStream, FramedOverFramedNestsFrames) {
  MemOutStream mem;
  OutStreamV4 outer(&mem);
  OutStreamV4 inner(&outer);
  outer.startMsg();
  inner.startMsg();
  inner.writeU8(0x41);
  inner.endMsg(false);
  outer.endMsg(false);
  EXPECT_EQ(written(mem), (std::vector<uint8_t>{0x80, 0x03, 0x80, 0x01, 0x41}));
}

TEST(FramedOutStream, MisuseTexts) {
  MemOutStream mem;
  OutStreamV4 out(&mem);
  struct Case {
    const char* name;
    std::function<void()> misuse;
    const char* text;
  };
  std::vector<Case> cases = {
    {"end without a message", [&] { out.endMsg(false); }, "FramedOutStream::endMsg: not in frame"},
    {"write outside a message", [&] { out.writeU32(1); }, "FramedOutStream::endFrame: not in frame"},
    {"start twice", [&] { out.startMsg(); out.startMsg(); }, "FramedOutStream::startMsg: already in msg"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(thrown<FrameException>(c.misuse, true), std::string("FrameException: ") + c.text);
  }
}

TEST(FramedOutStream, WritingPastAnOpenFrameIntoTheUnderlyingStreamIsDetected) {
  MemOutStream mem(256);
  OutStreamV4 out(&mem);
  out.startMsg();
  out.pad(200);
  mem.pad(100);  // someone else writes where the frame lies
  EXPECT_EQ(thrown<FrameException>([&] { out.endMsg(false); }),
            "FramedOutStream::endFrame: no space for header");
}

TEST(FramedOutStream, AbandonedMessageIsEndedAndTheNextOneStarts) {
  MemOutStream mem;
  OutStreamV4 out(&mem);
  out.startMsg();
  out.writeU8(1);
  out.abandonMsg();
  out.startMsg();
  out.writeU8(2);
  out.endMsg(false);
  EXPECT_EQ(written(mem), (std::vector<uint8_t>{0x80, 0x01, 0x01, 0x80, 0x01, 0x02}));
}

TEST(FramedInStream, ReadsBellAndEndsTheMessage) {
  std::vector<uint8_t> wire{0x80, 0x05, 0x04, 'b', 'e', 'l', 'l'};
  MemInStream mem(wire.data(), wire.size());
  InStreamV4 in(&mem);
  ASSERT_TRUE(in.startMsg(false));
  EXPECT_EQ(in.readShortString(), "bell");
  EXPECT_TRUE(in.atEnd());
  in.endMsg();
  EXPECT_FALSE(in.inMsg());
  EXPECT_EQ(in.pos(), 5u);
}

TEST(FramedInStream, ReadingPastTheEndIsEndOfMsg) {
  std::vector<uint8_t> wire{0x80, 0x03, 1, 2, 3, 0x80, 0x01, 9};
  MemInStream mem(wire.data(), wire.size());
  InStreamV4 in(&mem);
  ASSERT_TRUE(in.startMsg(false));
  in.skip(2);
  try {
    in.readU16();
    ADD_FAILURE() << "no exception";
  } catch (const EndOfMsg& e) {
    EXPECT_STREQ(e.str(), "End of message");
    EXPECT_STREQ(e.type(), "EndOfMsg");
    const EndOfStream& asEnd = e;
    EXPECT_STREQ(asEnd.type(), "EndOfMsg");
  }
}

TEST(FramedInStream, EndWithDataLeftIsAFrameException) {
  std::vector<uint8_t> wire{0x00, 0x01, 1, 0x80, 0x01, 2};
  MemInStream mem(wire.data(), wire.size());
  InStreamV4 in(&mem);
  ASSERT_TRUE(in.startMsg(false));
  in.readU8();
  EXPECT_EQ(thrown<FrameException>([&] { in.endMsg(); }, true),
            "FrameException: FramedInStream::endMsg: data left in msg");
}

TEST(FramedInStream, EmptyFramesThatAreNotLastAreSteppedOver) {
  struct Case {
    const char* name;
    std::vector<uint8_t> wire;
    std::string body;
  };
  std::vector<Case> cases = {
    {"empty first", {0x00, 0x00, 0x80, 0x03, 'a', 'b', 'c'}, "abc"},
    {"empty middle", {0x00, 0x02, 'x', 'y', 0x00, 0x00, 0x00, 0x00, 0x80, 0x01, 'z'}, "xyz"},
    {"empty last", {0x00, 0x02, 'x', 'y', 0x80, 0x00}, "xy"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    MemInStream mem(c.wire.data(), c.wire.size());
    InStreamV4 in(&mem);
    ASSERT_TRUE(in.startMsg(false));
    std::string body(c.body.size(), '\0');
    in.readBytes(body.data(), body.size());
    EXPECT_EQ(body, c.body);
    EXPECT_TRUE(in.atEnd());
    EXPECT_THROW(in.readU8(), EndOfMsg);
  }
}

TEST(FramedInStream, SkipToEndCrossesFramesAndTheNextMessageFollows) {
  auto body = pattern(5000, 5);
  auto wire = frameByHand(body, {1000, 0, 3000, 1000});
  auto second = frameByHand(bytesOf("\x02ok"), {3});
  wire.insert(wire.end(), second.begin(), second.end());
  MemInStream mem(wire.data(), wire.size());
  InStreamV4 in(&mem);
  ASSERT_TRUE(in.startMsg(false));
  in.readU32();
  in.skipToEnd();
  in.endMsg();
  ASSERT_TRUE(in.startMsg(false));
  EXPECT_EQ(in.readShortString(), "ok");
  in.endMsg();
}

TEST(FramedInStream, StartWithoutACompleteHeaderConsumesNothing) {
  ArrivingInStream source({0x80, 0x01, 0x07});
  InStreamV4 in(&source);
  in.checkpoint();
  EXPECT_FALSE(in.startMsg(false));
  source.arrive(1);
  EXPECT_FALSE(in.startMsg(false));
  EXPECT_THROW(in.startMsg(true), BlockException);
  source.arriveAll();
  ASSERT_TRUE(in.startMsg(false));
  EXPECT_EQ(in.readU8(), 7);
}

TEST(FramedInStream, ReaderResumedAfterHalfAU32ReadsItFromItsFirstByte) {
  std::vector<uint8_t> body;
  appendBE(body, 0x11223344, 4);
  appendBE(body, 0x55667788, 4);
  auto wire = frameByHand(body, {8});
  ArrivingInStream source(wire);
  InStreamV4 in(&source);
  source.arrive(2 + 2);  // header and half the first U32
  ASSERT_TRUE(in.startMsg(false));
  in.checkpoint();
  EXPECT_THROW(in.readU32(), BlockException);
  EXPECT_EQ(in.pos(), in.checkpointPos());
  source.arrive(4);  // the rest of the first U32 and half the second
  EXPECT_EQ(in.readU32(), 0x11223344u);
  in.checkpoint();
  EXPECT_THROW(in.readU32(), BlockException);
  source.arriveAll();
  EXPECT_EQ(in.readU32(), 0x55667788u);
  EXPECT_TRUE(in.atEnd());
  in.endMsg();
}

TEST(FramedInStream, BlockInTheNextHeaderRestoresTheFrameState) {
  // The U32 is split over two frames and the second header arrives late.
  std::vector<uint8_t> body;
  appendBE(body, 0xa1b2c3d4, 4);
  auto wire = frameByHand(body, {2, 2});
  ArrivingInStream source(wire);
  InStreamV4 in(&source);
  source.arrive(4);
  ASSERT_TRUE(in.startMsg(false));
  in.checkpoint();
  for (int attempt = 0; attempt < 3; attempt++) {
    SCOPED_TRACE(attempt);
    EXPECT_THROW(in.readU32(), BlockException);
    EXPECT_EQ(in.avail(), 2u);
  }
  source.arrive(1);
  EXPECT_THROW(in.readU32(), BlockException);
  source.arriveAll();
  EXPECT_EQ(in.readU32(), 0xa1b2c3d4u);
  in.endMsg();
}

TEST(FramedInStream, AtEndBlocksWhileTheNextHeaderIsMissing) {
  auto wire = frameByHand(bytesOf("ab"), {2, 0});
  ArrivingInStream source(wire);
  InStreamV4 in(&source);
  source.arrive(4);
  ASSERT_TRUE(in.startMsg(false));
  in.skip(2);
  in.checkpoint();
  EXPECT_THROW(in.atEnd(), BlockException);
  source.arriveAll();
  EXPECT_TRUE(in.atEnd());
  in.endMsg();
}

TEST(FramedInStream, RewindToWithinAFrameAfterCrossingFrames) {
  auto body = pattern(300, 9);
  auto wire = frameByHand(body, {100, 100, 100});
  MemInStream mem(wire.data(), wire.size());
  InStreamV4 in(&mem);
  ASSERT_TRUE(in.startMsg(false));
  in.skip(50);
  in.checkpoint();
  in.skip(200);
  in.rewindTo(150);
  EXPECT_EQ(in.readU8(), body[150]);
  EXPECT_THROW(in.rewindTo(10), plat::Exception);
}

// Messages of random bodies, framed at random cuts (with empty non-last
// frames), arriving in random steps; a restartable reader takes mixed items
// and checkpoints after each. Checked against the bodies themselves.
TEST(FramedInStream, RandomFramingAndArrivalsGiveBackTheBodies) {
  std::mt19937 rng(2024);
  for (int round = 0; round < 40; round++) {
    SCOPED_TRACE(round);
    std::vector<std::vector<uint8_t>> bodies;
    std::vector<uint8_t> wire;
    const int messages = 1 + int(rng() % 4);
    for (int m = 0; m < messages; m++) {
      auto body = pattern(rng() % 3000, rng());
      std::vector<size_t> sizes;
      for (size_t left = body.size(); left > 0 || sizes.empty();) {
        size_t n = rng() % 4 == 0 ? 0 : std::min<size_t>(left, 1 + rng() % 700);
        sizes.push_back(n);
        left -= n;
        if (left == 0 && rng() % 3 == 0)
          sizes.push_back(0);
        if (left == 0)
          break;
      }
      auto framed = frameByHand(body, sizes);
      wire.insert(wire.end(), framed.begin(), framed.end());
      bodies.push_back(std::move(body));
    }

    ArrivingInStream source(wire, 4096);
    InStreamV4 in(&source);
    std::vector<std::vector<uint8_t>> got;
    std::vector<uint8_t> current;
    bool open = false;
    while (got.size() < bodies.size()) {
      source.arrive(1 + rng() % 300);
      try {
        for (;;) {
          if (!open) {
            if (!in.startMsg(false))
              break;
            in.checkpoint();
            open = true;
          }
          if (in.atEnd()) {
            in.endMsg();
            got.push_back(std::move(current));
            current.clear();
            open = false;
            continue;
          }
          // Item sizes 1, 2, 4, 8 or a short block, whatever fits the body.
          size_t left = bodies[got.size()].size() - current.size();
          size_t sizes[] = {1, 2, 4, 8, 17};
          size_t n = sizes[rng() % 5];
          if (n > left)
            n = 1;
          uint64_t v = 0;
          std::vector<uint8_t> bytes;
          switch (n) {
          case 1: v = in.readU8(); break;
          case 2: v = in.readU16(); break;
          case 4: v = in.readU32(); break;
          case 8: v = in.readU64(); break;
          default: bytes.resize(n); in.readBytes(bytes.data(), n); break;
          }
          if (bytes.empty())
            appendBE(bytes, v, int(n));
          current.insert(current.end(), bytes.begin(), bytes.end());
          in.checkpoint();
        }
      } catch (const BlockException&) {
        // More must arrive; the reader runs again from its checkpoint.
      }
    }
    EXPECT_EQ(got, bodies);
  }
}

TEST(FramedStreams, WriteThenReadRoundTrip) {
  MemOutStream mem;
  OutStreamV4 out(&mem);
  const auto big = pattern(70000, 1);
  out.startMsg();
  out.writeShortString("setParams");
  out.writeString("value");
  out.writeU64(0x0102030405060708ull);
  out.writeBytes(big.data(), big.size());
  out.endMsg(false);

  auto wire = written(mem);
  MemInStream min(wire.data(), wire.size());
  InStreamV4 in(&min);
  ASSERT_TRUE(in.startMsg(true));
  EXPECT_EQ(in.readShortString(), "setParams");
  EXPECT_EQ(in.readString(100), "value");
  EXPECT_EQ(in.readU64(), 0x0102030405060708ull);
  std::vector<uint8_t> back(big.size());
  in.readBytes(back.data(), back.size());
  EXPECT_EQ(back, big);
  in.endMsg();
}

} // namespace
} // namespace rdr::test
