#pragma once

// Collects a block of a known length from an input stream across several
// non-blocking reads, for blocks that may be larger than what one arrival
// (or the stream's buffer) holds.
//
// Typical use in a restartable reader:
//   if (!reader.inProgress()) reader.init(in, in.readU32());
//   auto block = reader.collect(true);   // may throw rdr::BlockException
//
// When the whole block already lies in the stream's window and no copy is
// forced, the result points into the window (valid until the stream is read
// again). Otherwise the bytes are copied chunk by chunk, and the stream is
// checkpointed after every chunk, so that a rewind after a block keeps the
// bytes already collected out of the stream.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace rdr {

class InStream;

class ByteReader {
public:
  ByteReader() = default;
  ByteReader(const ByteReader&) = delete;
  ByteReader& operator=(const ByteReader&) = delete;

  // Start collecting length bytes of in, into buffer (which must hold length
  // bytes and outlive the collection) or, when null, into the reader's own
  // storage, which grows only as the bytes arrive. While a collection is unfinished a further init must name the
  // same length (it then continues the collection); another length throws
  // "ByteReader::init: bad len".
  void init(InStream& in, size_t length, uint8_t* buffer = nullptr, bool forceCopy = false);

  // The whole block once it is there; nothing while bytes are missing and
  // !wait. With wait a stream that has nothing now throws
  // rdr::BlockException (non-blocking) or blocks. The collection is finished
  // once the block has been returned.
  std::optional<std::span<const uint8_t>> collect(bool wait);

  bool inProgress() const { return in_ != nullptr; }
  size_t collected() const { return collected_; }
  // Abandon an unfinished collection.
  void reset();
  // Gives the reader's own storage back (it keeps its size otherwise, for
  // the next block); the last block collected into it is gone with it.
  void releaseStorage();

private:
  InStream* in_ = nullptr;
  size_t length_ = 0;
  size_t collected_ = 0;
  // The caller's buffer, or null when collecting into own_.
  uint8_t* target_ = nullptr;
  bool forceCopy_ = false;
  std::vector<uint8_t> own_;
};

} // namespace rdr
