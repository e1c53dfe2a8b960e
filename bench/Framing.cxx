// Message framing throughput: many small messages, and 1 MB bodies, written
// through rdr::OutStreamV4 into memory and read back through rdr::InStreamV4.

#include "base/rdr/InStreamV4.h"
#include "base/rdr/MemInStream.h"
#include "base/rdr/MemOutStream.h"
#include "base/rdr/OutStreamV4.h"

#include <benchmark/benchmark.h>
#include <stdexcept>
#include <vector>

namespace {

constexpr size_t messagesPerRound = 4096;
constexpr size_t bodySize = 1 << 20;

// A typical input event: name, S32 x, S32 y, U32 buttons, U8 relative.
void writeSmall(rdr::OutStreamV4& out, uint32_t i) {
  out.startMsg();
  out.writeShortString("pointerEvent");
  out.writeS32(int32_t(i));
  out.writeS32(int32_t(i + 1));
  out.writeU32(i & 7);
  out.writeU8(0);
  out.endMsg(false);
}

uint64_t readSmall(rdr::InStreamV4& in) {
  in.startMsg(true);
  uint64_t sum = in.readShortString().size();
  sum += uint32_t(in.readS32());
  sum += uint32_t(in.readS32());
  sum += in.readU32();
  sum += in.readU8();
  in.endMsg();
  return sum;
}

void SmallMessagesWrite(benchmark::State& state) {
  rdr::MemOutStream mem(1 << 20);
  rdr::OutStreamV4 out(&mem);
  for (auto _ : state) {
    mem.clear();
    for (uint32_t i = 0; i < messagesPerRound; i++)
      writeSmall(out, i);
    benchmark::DoNotOptimize(mem.data());
  }
  state.SetItemsProcessed(int64_t(state.iterations() * messagesPerRound));
}
BENCHMARK(SmallMessagesWrite);

void SmallMessagesWriteRead(benchmark::State& state) {
  rdr::MemOutStream mem(1 << 20);
  rdr::OutStreamV4 out(&mem);
  uint64_t sum = 0;
  for (auto _ : state) {
    mem.clear();
    for (uint32_t i = 0; i < messagesPerRound; i++)
      writeSmall(out, i);
    rdr::MemInStream src(mem.data(), mem.length());
    rdr::InStreamV4 in(&src);
    for (size_t i = 0; i < messagesPerRound; i++)
      sum += readSmall(in);
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(int64_t(state.iterations() * messagesPerRound));
}
BENCHMARK(SmallMessagesWriteRead);

void MegabyteBodyWriteRead(benchmark::State& state) {
  const std::vector<uint8_t> body(bodySize, 0x5a);
  std::vector<uint8_t> back(bodySize);
  rdr::MemOutStream mem(int(bodySize + bodySize / 8));
  rdr::OutStreamV4 out(&mem);
  for (auto _ : state) {
    mem.clear();
    out.startMsg();
    out.writeBytes(body.data(), body.size());
    out.endMsg(false);
    rdr::MemInStream src(mem.data(), mem.length());
    rdr::InStreamV4 in(&src);
    in.startMsg(true);
    in.readBytes(back.data(), back.size());
    in.endMsg();
    benchmark::DoNotOptimize(back.data());
  }
  if (back != body)
    throw std::runtime_error("body changed on the way");
  state.SetBytesProcessed(int64_t(state.iterations() * bodySize));
}
BENCHMARK(MegabyteBodyWriteRead);

// The same body into a fresh 256-byte memory stream each time: frames are
// cut wherever the growing window ends, and growth copies dominate.
void MegabyteBodyGrowingWrite(benchmark::State& state) {
  const std::vector<uint8_t> body(bodySize, 0xa5);
  for (auto _ : state) {
    rdr::MemOutStream mem;
    rdr::OutStreamV4 out(&mem);
    out.startMsg();
    out.writeBytes(body.data(), body.size());
    out.endMsg(false);
    benchmark::DoNotOptimize(mem.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations() * bodySize));
}
BENCHMARK(MegabyteBodyGrowingWrite);

} // namespace
