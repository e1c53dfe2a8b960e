#include "base/rdr/BufferedOutStream.h"

#include "base/plat/Exception.h"
#include "base/plat/IntParameter.h"
#include "base/plat/LogSrc.h"
#include "base/rdr/HexDump.h"
#include "base/rdr/OutStreamFull.h"

#include <algorithm>
#include <cstring>

namespace rdr {

namespace {

plat::LogSrc vlog("BufferedOutStream");

plat::IntParameter maxOutBufferSize(
  "MaxOutBufferSize",
  "The maximum number of bytes to buffer internally when writing to slow connections.  Larger "
  "values improve concurrency, smaller values reduce memory usage.  Changes to this setting "
  "affect new connections only.",
  134217728, 16384, 2147483647);

size_t configuredMaxSize() {
  return size_t(maxOutBufferSize.getValue());
}

size_t initialSize(int bufferSize) {
  return bufferSize < 0 ? BufferedOutStream::defaultBufferSize : size_t(bufferSize);
}

} // namespace

BufferedOutStream::BufferedOutStream(int bufferSize, int maxSize)
  : buffer_(initialSize(bufferSize) ? std::make_unique_for_overwrite<uint8_t[]>(initialSize(bufferSize))
                                    : nullptr),
    initialSize_(initialSize(bufferSize)),
    bufferSize_(initialSize_),
    maxSize_(std::max(bufferSize_, maxSize < 0 ? configuredMaxSize() : size_t(maxSize))),
    unwritten_(buffer_.get()) {
  ptr = buffer_.get();
  setWindow(0);
}

BufferedOutStream::~BufferedOutStream() = default;

void BufferedOutStream::flush() {
  writePending(true);
}

bool BufferedOutStream::writePending(bool wait) {
  bool progressed = false;
  while (bufferedBytes() > 0) {
    size_t n = writeOnce(wait);
    if (n == 0) {
      if (!wait)
        break;
      pendingChanged(progressed);
      throw plat::Exception("BufferedOutStream overrun: unable to write");
    }
    progressed = true;
  }
  if (bufferedBytes() == 0) {
    // Nothing is pending: start the buffer afresh, which keeps later windows
    // large without moving any byte.
    shrinkIdle();
    ptr = unwritten_ = buffer_.get();
    setWindow(0);
  }
  pendingChanged(progressed);
  return bufferedBytes() == 0;
}

size_t BufferedOutStream::writeOnce(bool wait) {
  size_t n = writeSome(unwritten_, bufferedBytes(), wait);
  if (n == 0)
    return 0;
  if (debug_)
    hexDump(vlog, " --> ", unwritten_, n);
  unwritten_ += n;
  written_ += n;
  return n;
}

size_t BufferedOutStream::overrun(size_t itemSize, size_t nItems) {
  if (bufferSize_ == 0)
    throw OutStreamFull();
  if (itemSize > maxSize_)
    throw plat::Exception("BufferedOutStream overrun: buffer size exceeded");

  writePending(false);
  compact();
  while (bufferSize_ - bufferedBytes() < itemSize) {
    if (bufferSize_ < maxSize_) {
      grow(std::min(2 * bufferSize_, maxSize_));
      continue;
    }
    size_t n = writeOnce(true);
    pendingChanged(n > 0);
    if (n == 0)
      throw plat::Exception("BufferedOutStream overrun: unable to write");
    compact();
  }
  setWindow(itemSize);
  return std::clamp(size_t(end - ptr) / itemSize, size_t(1), nItems);
}

void BufferedOutStream::compact() {
  size_t pending = bufferedBytes();
  if (unwritten_ != buffer_.get())
    std::memmove(buffer_.get(), unwritten_, pending);
  unwritten_ = buffer_.get();
  ptr = unwritten_ + pending;
}

void BufferedOutStream::grow(size_t newSize) {
  auto bigger = std::make_unique_for_overwrite<uint8_t[]>(newSize);
  size_t pending = bufferedBytes();
  std::memcpy(bigger.get(), unwritten_, pending);
  buffer_ = std::move(bigger);
  bufferSize_ = newSize;
  unwritten_ = buffer_.get();
  ptr = unwritten_ + pending;
  end = ptr;
}

void BufferedOutStream::shrinkIdle() {
  if (bufferSize_ <= std::max(keptSize, initialSize_))
    return;
  buffer_ = std::make_unique_for_overwrite<uint8_t[]>(initialSize_);
  bufferSize_ = initialSize_;
}

void BufferedOutStream::setWindow(size_t itemSize) {
  size_t pending = size_t(ptr - buffer_.get());
  end = buffer_.get() + std::min(pending + std::max(maxWindow, itemSize), bufferSize_);
}

} // namespace rdr
