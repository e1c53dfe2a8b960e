// Byte stream throughput: small integers and bulk bytes through the memory
// streams and through buffered descriptor streams on a socket pair.

#include "base/rdr/FdInStream.h"
#include "base/rdr/FdOutStream.h"
#include "base/rdr/MemInStream.h"
#include "base/rdr/MemOutStream.h"

#include <benchmark/benchmark.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t itemsPerRound = 4096;
constexpr size_t bulkChunk = 32768;

struct SocketPair {
  int fds[2];
  SocketPair() {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
      throw std::runtime_error("socketpair");
  }
  ~SocketPair() {
    ::close(fds[0]);
    ::close(fds[1]);
  }
};

void MemWriteU32(benchmark::State& state) {
  rdr::MemOutStream out(int(itemsPerRound * 4));
  for (auto _ : state) {
    out.clear();
    for (uint32_t i = 0; i < itemsPerRound; i++)
      out.writeU32(i);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(int64_t(state.iterations() * itemsPerRound));
}
BENCHMARK(MemWriteU32);

void MemReadU32(benchmark::State& state) {
  rdr::MemOutStream out;
  for (uint32_t i = 0; i < itemsPerRound; i++)
    out.writeU32(i);
  for (auto _ : state) {
    rdr::MemInStream in(out.data(), out.length());
    uint32_t sum = 0;
    for (size_t i = 0; i < itemsPerRound; i++)
      sum += in.readU32();
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(int64_t(state.iterations() * itemsPerRound));
}
BENCHMARK(MemReadU32);

void MemMixedSmall(benchmark::State& state) {
  rdr::MemOutStream out(int(itemsPerRound * 15));
  for (auto _ : state) {
    out.clear();
    for (uint32_t i = 0; i < itemsPerRound; i++) {
      out.writeU8(uint8_t(i));
      out.writeU16(uint16_t(i));
      out.writeU32(i);
      out.writeU64(i);
    }
    rdr::MemInStream in(out.data(), out.length());
    uint64_t sum = 0;
    for (size_t i = 0; i < itemsPerRound; i++)
      sum += in.readU8() + in.readU16() + in.readU32() + in.readU64();
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(int64_t(state.iterations() * itemsPerRound * 4));
}
BENCHMARK(MemMixedSmall);

void MemBulk(benchmark::State& state) {
  std::vector<uint8_t> data(bulkChunk, 0x5a), back(bulkChunk);
  rdr::MemOutStream out{int(bulkChunk)};
  for (auto _ : state) {
    out.clear();
    out.writeBytes(data.data(), data.size());
    rdr::MemInStream in(out.data(), out.length());
    in.readBytes(back.data(), back.size());
    benchmark::DoNotOptimize(back.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations() * bulkChunk));
}
BENCHMARK(MemBulk);

// One round: the writer fills and flushes, the reader (same thread) reads it
// back; a round stays below what the socket buffers hold.
void FdSmallU32(benchmark::State& state) {
  SocketPair pair;
  rdr::FdOutStream out(pair.fds[1]);
  rdr::FdInStream in(pair.fds[0]);
  for (auto _ : state) {
    for (uint32_t i = 0; i < itemsPerRound; i++)
      out.writeU32(i);
    out.flush();
    uint32_t sum = 0;
    for (size_t i = 0; i < itemsPerRound; i++)
      sum += in.readU32();
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(int64_t(state.iterations() * itemsPerRound));
}
BENCHMARK(FdSmallU32);

void FdBulk(benchmark::State& state) {
  SocketPair pair;
  rdr::FdOutStream out(pair.fds[1]);
  rdr::FdInStream in(pair.fds[0]);
  std::vector<uint8_t> data(bulkChunk, 0xa5), back(bulkChunk);
  for (auto _ : state) {
    out.writeBytes(data.data(), data.size());
    out.flush();
    in.readBytes(back.data(), back.size());
    benchmark::DoNotOptimize(back.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations() * bulkChunk));
}
BENCHMARK(FdBulk);

} // namespace
