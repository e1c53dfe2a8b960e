#include "base/rdr/OutStream.h"

#include "base/plat/Assert.h"
#include "base/plat/Format.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace rdr {

OutStream::~OutStream() = default;

void OutStream::writeBytes(const void* data, size_t n) {
  const auto* in = static_cast<const uint8_t*>(data);
  while (n > 0) {
    if (ptr == end)
      overrun(1, n);
    size_t chunk = std::min(n, size_t(end - ptr));
    std::memcpy(ptr, in, chunk);
    ptr += chunk;
    in += chunk;
    n -= chunk;
  }
}

void OutStream::writeShortString(std::string_view text) {
  size_t n = std::min<size_t>(text.size(), 255);
  writeU8(uint8_t(n));
  writeBytes(text.data(), n);
}

void OutStream::writeShortString(const char* text) {
  writeShortString(text ? std::string_view(text) : std::string_view());
}

void OutStream::writeString(std::string_view text, size_t maxLength) {
  size_t n = std::min({text.size(), maxLength, size_t(UINT32_MAX)});
  writeU32(uint32_t(n));
  writeBytes(text.data(), n);
}

void OutStream::pad(size_t n) {
  // Zeros rather than whatever the buffer held before, which would leak
  // earlier data onto the wire.
  while (n > 0) {
    if (ptr == end)
      overrun(1, n);
    size_t chunk = std::min(n, size_t(end - ptr));
    std::memset(ptr, 0, chunk);
    ptr += chunk;
    n -= chunk;
  }
}

void OutStream::printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vprintf(format, args);
  va_end(args);
}

void OutStream::vprintf(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(reinterpret_cast<char*>(ptr), size_t(end - ptr), format, copy);
  va_end(copy);
  if (n < 0)
    return;
  if (size_t(n) < size_t(end - ptr)) {
    ptr += n;
    return;
  }
  // The window was too small; it may be cut into pieces (frames), so the text
  // is formatted once more on its own and copied window by window.
  writeBytes(plat::vformat(format, args).data(), size_t(n));
}

void OutStream::setptr(uint8_t* p) {
  PLAT_ASSERT(p >= ptr && p <= end);
  ptr = p;
}

} // namespace rdr
