#include "base/rdr/ByteReader.h"

#include "base/plat/Assert.h"
#include "base/plat/Exception.h"
#include "base/rdr/InStream.h"

#include <algorithm>
#include <cstring>

namespace rdr {

void ByteReader::init(InStream& in, size_t length, uint8_t* buffer, bool forceCopy) {
  if (inProgress()) {
    if (length != length_)
      throw plat::Exception("ByteReader::init: bad len");
    in_ = &in;
    return;
  }
  in_ = &in;
  length_ = length;
  collected_ = 0;
  forceCopy_ = forceCopy;
  // The reader's own storage grows with the bytes that arrive: the length
  // comes from the peer, and a few bytes announcing gigabytes must not cost
  // gigabytes before any of them is there.
  own_.clear();
  target_ = buffer;
}

std::optional<std::span<const uint8_t>> ByteReader::collect(bool wait) {
  PLAT_ASSERT(inProgress());
  InStream& in = *in_;
  if (collected_ == 0 && !forceCopy_ && in.avail() >= length_) {
    const uint8_t* block = in.getPtr();
    in.setptr(block + length_);
    reset();
    return std::span<const uint8_t>(block, length_);
  }
  while (collected_ < length_) {
    // Ask for one byte, not the rest: every chunk that has arrived is taken
    // (and committed) at once, however little it is.
    if (in.avail() == 0 && !in.check(wait, 1))
      return std::nullopt;
    size_t chunk = std::min(in.avail(), length_ - collected_);
    if (target_)
      std::memcpy(target_ + collected_, in.getPtr(), chunk);
    else
      own_.insert(own_.end(), in.getPtr(), in.getPtr() + chunk);
    in.setptr(in.getPtr() + chunk);
    collected_ += chunk;
    in.checkpoint();
  }
  std::span<const uint8_t> block(target_ ? target_ : own_.data(), length_);
  reset();
  return block;
}

void ByteReader::reset() {
  in_ = nullptr;
}

void ByteReader::releaseStorage() {
  std::vector<uint8_t>().swap(own_);
}

} // namespace rdr
