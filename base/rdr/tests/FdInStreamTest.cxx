#include "base/plat/Exception.h"
#include "base/rdr/BlockException.h"
#include "base/rdr/EndOfStream.h"
#include "base/rdr/FdInStream.h"
#include "base/rdr/FdInStreamOwn.h"
#include "base/rdr/FileInStream.h"
#include "base/rdr/MemOutStream.h"
#include "base/rdr/tests/StreamTestSupport.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <gtest/gtest.h>
#include <random>
#include <sys/resource.h>
#include <variant>

namespace rdr {
namespace {

using test::thrown;
using test::appendBE;
using test::SocketPair;

// One value of a test message; strings are written as short strings when short.
struct Value {
  enum Kind { u8, u16, u32, u64, s32, shortString, string } kind;
  uint64_t number = 0;
  std::string text;

  bool operator==(const Value&) const = default;
};

std::vector<Value> randomMessage(std::mt19937& rng, size_t count) {
  std::vector<Value> values;
  for (size_t i = 0; i < count; i++) {
    Value v{Value::Kind(rng() % 7)};
    switch (v.kind) {
    case Value::u8: v.number = rng() & 0xff; break;
    case Value::u16: v.number = rng() & 0xffff; break;
    case Value::u32:
    case Value::s32: v.number = rng(); break;
    case Value::u64: v.number = uint64_t(rng()) << 32 | rng(); break;
    case Value::shortString:
    case Value::string:
      v.text.resize(rng() % (v.kind == Value::string ? 600 : 200));
      for (char& c : v.text)
        c = char('a' + rng() % 26);
      break;
    }
    values.push_back(v);
  }
  return values;
}

// The reference encoding, built byte by byte independently of the streams.
std::vector<uint8_t> encode(const std::vector<Value>& values) {
  std::vector<uint8_t> wire;
  for (const Value& v : values) {
    switch (v.kind) {
    case Value::u8: appendBE(wire, v.number, 1); break;
    case Value::u16: appendBE(wire, v.number, 2); break;
    case Value::u32:
    case Value::s32: appendBE(wire, v.number, 4); break;
    case Value::u64: appendBE(wire, v.number, 8); break;
    case Value::shortString:
      appendBE(wire, v.text.size(), 1);
      test::appendText(wire, v.text);
      break;
    case Value::string:
      appendBE(wire, v.text.size(), 4);
      test::appendText(wire, v.text);
      break;
    }
  }
  return wire;
}

Value readValue(InStream& in, Value::Kind kind) {
  Value v{kind};
  switch (kind) {
  case Value::u8: v.number = in.readU8(); break;
  case Value::u16: v.number = in.readU16(); break;
  case Value::u32: v.number = in.readU32(); break;
  case Value::s32: v.number = uint32_t(in.readS32()); break;
  case Value::u64: v.number = in.readU64(); break;
  case Value::shortString: v.text = in.readShortString(); break;
  case Value::string: v.text = in.readString(1 << 20); break;
  }
  return v;
}

// A restartable reader: reads the expected kinds in order, committing each
// value with a checkpoint, and resumes from the checkpoint after a block.
struct ResumableReader {
  explicit ResumableReader(InStream& in) : in(in) {}

  // True when all values are read; false when the input ran dry.
  bool run(const std::vector<Value>& expected) {
    try {
      while (got.size() < expected.size()) {
        Value v = readValue(in, expected[got.size()].kind);
        in.checkpoint();
        got.push_back(v);
      }
      return true;
    } catch (const BlockException&) {
      EXPECT_EQ(in.pos(), in.checkpointPos()) << "a block leaves the stream at its checkpoint";
      blocks++;
      return false;
    }
  }

  InStream& in;
  std::vector<Value> got;
  int blocks = 0;
};

// Feeds the wire in the given pieces, running the reader after each one.
void readInPieces(const std::vector<Value>& values, const std::vector<uint8_t>& wire,
                  const std::vector<size_t>& cuts) {
  SocketPair pair;
  FdInStream in(pair.reader);
  in.setNonBlocking(true);
  ResumableReader reader(in);
  size_t from = 0;
  std::vector<size_t> bounds = cuts;
  bounds.push_back(wire.size());
  for (size_t to : bounds) {
    pair.send(wire.data() + from, to - from);
    from = to;
    bool done = reader.run(values);
    if (to < wire.size())
      ASSERT_FALSE(done) << "finished before all bytes arrived (cut at " << to << ")";
    else
      ASSERT_TRUE(done) << "not finished after all bytes arrived";
  }
  ASSERT_EQ(reader.got, values);
  EXPECT_EQ(in.pos(), wire.size());
}

TEST(FdInStreamResume, EverySplitPositionReadsTheSameValues) {
  std::mt19937 rng(4242);
  std::vector<Value> values = randomMessage(rng, 40);
  values.push_back({Value::shortString, 0, std::string(255, 'q')});
  values.push_back({Value::u64, 0x0102030405060708ull, {}});
  std::vector<uint8_t> wire = encode(values);
  for (size_t cut = 0; cut < wire.size(); cut++) {
    SCOPED_TRACE(testing::Message() << "cut at " << cut << " of " << wire.size());
    readInPieces(values, wire, {cut});
    if (HasFatalFailure())
      return;
  }
}

TEST(FdInStreamResume, RandomSplitsReadTheSameValues) {
  std::mt19937 rng(777);
  for (int round = 0; round < 150; round++) {
    std::vector<Value> values = randomMessage(rng, 1 + rng() % 60);
    std::vector<uint8_t> wire = encode(values);
    std::vector<size_t> cuts;
    size_t pieces = rng() % 12;
    for (size_t i = 0; i < pieces; i++)
      cuts.push_back(rng() % wire.size());
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    SCOPED_TRACE(testing::Message() << "round " << round << ", " << cuts.size() << " cuts");
    readInPieces(values, wire, cuts);
    if (HasFatalFailure())
      return;
  }
}

TEST(FdInStreamResume, SplitU32BlocksThenReadsWhole) {
  SocketPair pair;
  FdInStream in(pair.reader);
  in.setNonBlocking(true);
  const uint8_t wire[] = {0xde, 0xad, 0xbe, 0xef};
  pair.send(wire, 2);
  const uint8_t* start = in.getPtr();
  EXPECT_THROW(in.readU32(), BlockException);
  EXPECT_EQ(in.getPtr(), start) << "ptr back at the checkpoint";
  EXPECT_EQ(in.pos(), 0u);
  pair.send(wire + 2, 2);
  EXPECT_EQ(in.readU32(), 0xdeadbeefu);
}

TEST(FdInStreamResume, CheckWithoutWaitReportsNothingAvailable) {
  SocketPair pair;
  FdInStream in(pair.reader);
  in.setNonBlocking(true);
  EXPECT_FALSE(in.check(false, 1));
  pair.send(test::bytesOf("x").data(), 1);
  EXPECT_TRUE(in.check(false, 1));
  EXPECT_EQ(in.readU8(), 'x');
}

TEST(FdInStream, BlockingSmallBufferCompactsAndReadsEverything) {
  SocketPair pair;
  std::vector<uint8_t> wire;
  for (uint32_t i = 0; i < 2000; i++)
    appendBE(wire, i * 2654435761u, 4);
  pair.send(wire);
  pair.closeWriter();
  FdInStream in(pair.reader, -1, 10);
  for (uint32_t i = 0; i < 2000; i++)
    ASSERT_EQ(in.readU32(), i * 2654435761u) << "item " << i;
  EXPECT_THROW(in.readU8(), EndOfStream);
}

TEST(FdInStream, EndOfStreamWhenThePeerCloses) {
  SocketPair pair(false);
  pair.send(test::bytesOf("ab"));
  pair.closeWriter();
  FdInStream in(pair.reader);
  EXPECT_EQ(in.readU16(), uint16_t('a' << 8 | 'b'));
  EXPECT_EQ(thrown<EndOfStream>([&] { in.readU8(); }, true), "EndOfStream: End of IO stream");
}

TEST(FdInStream, BlockingReadTimesOut) {
  for (bool nonBlockingFd : {false, true}) {
    SCOPED_TRACE(nonBlockingFd ? "non-blocking descriptor" : "blocking descriptor");
    SocketPair pair(nonBlockingFd);
    FdInStream in(pair.reader, 20);
    EXPECT_EQ(thrown<plat::TimedOut>([&] { in.readU8(); }, true), "TimedOut: Timed out");
  }
}

TEST(FdInStream, MarkedTimedOutFailsEvenWithDataWaiting) {
  SocketPair pair;
  pair.send(test::bytesOf("data"));
  FdInStream in(pair.reader);
  in.setNonBlocking(true);
  in.setTimedOut(true);
  EXPECT_THROW(in.readU8(), plat::TimedOut);
  in.setTimedOut(false);
  EXPECT_EQ(in.readU8(), 'd');
}

TEST(FdInStream, RewindIsRefusedWithoutRewindOnBlock) {
  SocketPair pair;
  FdInStream in(pair.reader);
  EXPECT_EQ(thrown([&] { in.rewind(); }), "Attempt to rewind a non-rewindable stream");
  in.setNonBlocking(true);
  EXPECT_NO_THROW(in.rewind());
}

TEST(FdInStream, BackToBlockingDropsRewindOnBlock) {
  // A blocking reader that never checkpoints used to keep everything since
  // the last checkpoint and run out of buffer.
  SocketPair pair;
  FdInStream in(pair.reader, -1, 16);
  in.setNonBlocking(true);
  in.setNonBlocking(false);
  EXPECT_FALSE(in.rewindOnBlock());
  std::vector<uint8_t> wire(100, 7);
  pair.send(wire);
  in.skip(100);
  EXPECT_EQ(in.pos(), 100u);
}

TEST(FdInStream, ItemLargerThanTheBufferOverrunsInRewindMode) {
  SocketPair pair;
  FdInStream in(pair.reader, -1, 8);
  in.setNonBlocking(true);
  pair.send(std::vector<uint8_t>(16, 1));
  uint8_t out[12];
  EXPECT_EQ(thrown([&] { in.readBytes(out, sizeof out); }),
            "InStream overrun: buffer size exceeded");
}

TEST(FdInStream, NoBufferCannotRead) {
  SocketPair pair;
  pair.send(test::bytesOf("x"));
  FdInStream in(pair.reader, -1, 0);
  EXPECT_EQ(thrown([&] { in.readU8(); }), "Too much data for InStream buffer");
}

TEST(FdInStream, DiscardBufferedForgetsUnreadBytes) {
  SocketPair pair;
  FdInStream in(pair.reader);
  in.setNonBlocking(true);
  pair.send(test::bytesOf("abcdef"));
  EXPECT_EQ(in.readU8(), 'a');
  in.discardBuffered();
  EXPECT_EQ(in.avail(), 0u);
  EXPECT_FALSE(in.check(false, 1));
  pair.send(test::bytesOf("z"));
  EXPECT_EQ(in.readU8(), 'z');
  EXPECT_EQ(in.pos(), 7u);
}

TEST(FdInStream, ReadErrorIsASystemException) {
  FdInStream in(-1);
  try {
    in.readU8();
    FAIL() << "no exception";
  } catch (const plat::SystemException& e) {
    EXPECT_EQ(e.err(), EBADF);
    EXPECT_EQ(std::string(e.str()).rfind("read: ", 0), 0u) << e.str();
  }
}

TEST(FdInStream, DescriptorsSelectCannotWatchFailWithEmfile) {
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_max <= 1100)
    GTEST_SKIP() << "descriptor limit too low to place one above FD_SETSIZE";
  rlimit raised = limit;
  raised.rlim_cur = std::max<rlim_t>(limit.rlim_cur, 1101);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
  SocketPair pair(false);
  ASSERT_EQ(::dup2(pair.reader, 1100), 1100);
  {
    FdInStreamOwn in(1100, 10);
    try {
      in.readU8();
      FAIL() << "no exception";
    } catch (const plat::SystemException& e) {
      EXPECT_EQ(e.err(), EMFILE);
      EXPECT_EQ(std::string(e.str()).rfind("select: ", 0), 0u) << e.str();
    }
  }
  EXPECT_EQ(::fcntl(1100, F_GETFD), -1) << "FdInStreamOwn closes its descriptor";
  setrlimit(RLIMIT_NOFILE, &limit);
}

TEST(FileInStream, ReadsAFileToItsEnd) {
  std::string path = testing::TempDir() + "rdr_file_in_stream.txt";
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fputs("line one\r\nline two\n", f);
  std::fclose(f);
  FileInStream in(path, 4);
  EXPECT_EQ(in.readLine(), "line one");
  EXPECT_EQ(in.readLine(), "line two");
  EXPECT_THROW(in.readLine(), EndOfStream);
  std::remove(path.c_str());
}

TEST(FileInStream, MissingFileIsASystemException) {
  try {
    FileInStream in("/nonexistent/rdr/file");
    FAIL() << "no exception";
  } catch (const plat::SystemException& e) {
    EXPECT_EQ(e.err(), ENOENT);
    EXPECT_STREQ(e.type(), "System-2");
  }
}

} // namespace
} // namespace rdr
