#include "base/rdr/BufferedInStream.h"

#include "base/plat/Exception.h"
#include "base/plat/LogSrc.h"
#include "base/rdr/HexDump.h"

#include <algorithm>
#include <cstring>
#include <strings.h>

namespace rdr {

namespace {

plat::LogSrc vlog("BufferedInStream");

} // namespace

BufferedInStream::BufferedInStream(int bufferSize, bool rewindOnBlock)
  : InStream(rewindOnBlock),
    bufferSize_(bufferSize < 0 ? defaultBufferSize : size_t(bufferSize)),
    buffer_(bufferSize_ ? std::make_unique_for_overwrite<uint8_t[]>(bufferSize_) : nullptr) {
  ptr = end = checkpointPtr = buffer_.get();
}

BufferedInStream::~BufferedInStream() {
  if (wipeOnFree_ && buffer_)
    explicit_bzero(buffer_.get(), bufferSize_);
}

void BufferedInStream::discardBuffered() {
  ptr = end;
  checkpoint();
}

void BufferedInStream::compact() {
  uint8_t* start = buffer_.get();
  size_t shift = size_t(checkpointPtr - start);
  if (shift == 0)
    return;
  std::memmove(start, checkpointPtr, size_t(end - checkpointPtr));
  ptr -= shift;
  end -= shift;
  checkpointPtr = start;
  bufferPos_ += shift;
}

bool BufferedInStream::fill(size_t itemSize) {
  if (!buffer_)
    throw plat::Exception("Too much data for InStream buffer");
  compact();
  const size_t wanted = std::min(itemSize, bufferSize_);
  uint8_t* const limit = buffer_.get() + bufferSize_;
  while (avail() < wanted) {
    // A full buffer cannot take more: the caller sees what is there.
    if (end == limit)
      return true;
    uint8_t* free = buffer_.get() + (end - buffer_.get());
    size_t n = readSome(free, size_t(limit - free));
    if (n == 0)
      return false;
    if (debug_)
      hexDump(vlog, " <-- ", free, n);
    end += n;
  }
  return true;
}

} // namespace rdr
