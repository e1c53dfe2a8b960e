#include "base/rdr/InStream.h"

#include "base/plat/Assert.h"
#include "base/plat/Exception.h"
#include "base/plat/Utf8.h"
#include "base/rdr/BlockException.h"
#include "base/rdr/EndOfStream.h"
#include "base/rdr/StringTooLongException.h"

#include <algorithm>
#include <cstring>

namespace rdr {

InStream::InStream(bool rewindOnBlock) : rewindOnBlock_(rewindOnBlock) {}

InStream::~InStream() = default;

void InStream::checkpoint() {
  checkpointPtr = ptr;
  checkpointPos_ = pos();
}

void InStream::rewind() {
  if (!rewindOnBlock_)
    throw plat::Exception("Attempt to rewind a non-rewindable stream");
  ptr = checkpointPtr;
}

void InStream::rewindTo(size_t position) {
  if (position < checkpointPos_)
    throw plat::Exception("Can't reposition before checkpoint");
  rewind();
  skip(position - checkpointPos_);
}

bool InStream::check(bool wait, size_t itemSize) {
  if (!rewindOnBlock_)
    checkpoint();
  bool filled;
  try {
    filled = fill(itemSize);
  } catch (const BlockException&) {
    filled = false;
  }
  if (filled) {
    if (ptr == end)
      throw plat::Exception("InStream overrun: buffer size exceeded");
    return true;
  }
  if (rewindOnBlock_)
    rewind();
  if (wait)
    throw BlockException();
  return false;
}

uint64_t InStream::readSlow(size_t n) {
  uint8_t bytes[8];
  readBytes(bytes, n);
  uint64_t v = 0;
  for (size_t i = 0; i < n; i++)
    v = v << 8 | bytes[i];
  return v;
}

void InStream::readBytes(void* destination, size_t n) {
  auto* out = static_cast<uint8_t*>(destination);
  while (n > 0) {
    if (ptr == end)
      check(true, n);
    size_t chunk = std::min(n, avail());
    std::memcpy(out, ptr, chunk);
    ptr += chunk;
    out += chunk;
    n -= chunk;
  }
}

void InStream::skip(size_t n) {
  while (n > 0) {
    if (ptr == end)
      check(true, n);
    size_t chunk = std::min(n, avail());
    ptr += chunk;
    n -= chunk;
  }
}

namespace {

std::string readText(InStream& in, size_t length, bool checkUtf8) {
  std::string text(length, '\0');
  in.readBytes(text.data(), length);
  if (checkUtf8 && !plat::isValidUtf8(text))
    return plat::repairUtf8(text);
  return text;
}

} // namespace

std::string InStream::readShortString(bool checkUtf8) {
  size_t length = readU8();
  return readText(*this, length, checkUtf8);
}

std::string InStream::readString(size_t maxLength, bool checkUtf8) {
  size_t length = readU32();
  if (length > maxLength)
    throw StringTooLongException();
  return readText(*this, length, checkUtf8);
}

std::string InStream::readLine(size_t maxLength) {
  const size_t limit = maxLength ? maxLength : defaultMaxLine;
  std::string line;
  bool consumed = false;
  for (;;) {
    if (consumed && atEnd())
      return line;
    if (ptr == end) {
      try {
        check(true, 1);
      } catch (const EndOfStream&) {
        if (!consumed)
          throw;
        return line;
      }
    }
    const auto* lf = static_cast<const uint8_t*>(std::memchr(ptr, '\n', avail()));
    const uint8_t* stop = lf ? lf : end;
    for (const uint8_t* p = ptr; p < stop; p++) {
      if (*p == '\r')
        continue;
      if (line.size() == limit)
        throw StringTooLongException();
      line.push_back(char(*p));
    }
    consumed = true;
    ptr = stop;
    if (lf) {
      ptr++;
      return line;
    }
  }
}

const uint8_t* InStream::getItems(size_t itemSize, size_t nItems, size_t* nGot) {
  PLAT_ASSERT(itemSize > 0 && nItems > 0);
  if (avail() < itemSize)
    check(true, itemSize);
  if (avail() < itemSize)
    throw plat::Exception("InStream overrun: buffer size exceeded");
  size_t n = std::min(nItems, avail() / itemSize);
  const uint8_t* items = ptr;
  ptr += n * itemSize;
  if (nGot)
    *nGot = n;
  return items;
}

void InStream::setptr(const uint8_t* p) {
  PLAT_ASSERT(p >= ptr && p <= end);
  ptr = p;
}

} // namespace rdr
