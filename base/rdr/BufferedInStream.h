#pragma once

// An input stream over a source that delivers bytes in chunks (readSome).
// The buffer keeps the bytes from the checkpoint onward, so it must be large
// enough for the largest item read in one piece.
//
// Invariant: buffer <= checkpointPtr <= ptr <= end <= buffer + bufferSize;
// bufferPos is the stream position of buffer[0].

#include "base/rdr/InStream.h"

#include <memory>

namespace rdr {

class BufferedInStream : public InStream {
public:
  static constexpr size_t defaultBufferSize = 16800;

  ~BufferedInStream() override;

  size_t pos() const override { return bufferPos_ + size_t(ptr - buffer_.get()); }

  size_t bufferSize() const { return bufferSize_; }
  // Overwrite the buffer with zeros before it is released (secrets pass through).
  void setWipeOnFree(bool flag) { wipeOnFree_ = flag; }
  // Hex-dump every chunk read at debug level, marked " <-- ".
  void setDebug(bool flag) { debug_ = flag; }
  // Forget every buffered byte that has not been read (the source has more
  // of the same and the caller wants none of it).
  void discardBuffered();

protected:
  // bufferSize < 0 means the default size; 0 means no buffer at all (every
  // fill fails with "Too much data for InStream buffer").
  explicit BufferedInStream(int bufferSize = -1, bool rewindOnBlock = false);

  bool fill(size_t itemSize) override;

  // Read at most max bytes from the source into buffer. Returns 0 when
  // nothing is available now (non-blocking sources); the end of the source
  // is an exception (rdr::EndOfStream).
  virtual size_t readSome(uint8_t* buffer, size_t max) = 0;

private:
  // Move the bytes from the checkpoint onward to the buffer start.
  void compact();

  size_t bufferPos_ = 0;
  size_t bufferSize_;
  std::unique_ptr<uint8_t[]> buffer_;
  bool wipeOnFree_ = false;
  bool debug_ = false;
};

} // namespace rdr
