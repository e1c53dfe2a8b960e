#include "base/plat/Latin1.h"

#include "base/plat/Utf8.h"

#include <cstdint>

namespace plat {

namespace {

constexpr uint32_t euro = 0x20ac;
constexpr char euroByte = char(0x80);

// The code point of a valid sequence of `length` bytes.
uint32_t decode(std::string_view sequence, size_t length) {
  static const uint8_t leadMask[] = {0, 0x7f, 0x1f, 0x0f, 0x07};
  uint32_t codePoint = uint8_t(sequence[0]) & leadMask[length];
  for (size_t i = 1; i < length; i++)
    codePoint = (codePoint << 6) | (uint8_t(sequence[i]) & 0x3f);
  return codePoint;
}

void appendUtf8(std::string& out, uint32_t codePoint) {
  if (codePoint < 0x80) {
    out += char(codePoint);
  } else if (codePoint < 0x800) {
    out += char(0xc0 | (codePoint >> 6));
    out += char(0x80 | (codePoint & 0x3f));
  } else {
    out += char(0xe0 | (codePoint >> 12));
    out += char(0x80 | ((codePoint >> 6) & 0x3f));
    out += char(0x80 | (codePoint & 0x3f));
  }
}

} // namespace

std::string utf8ToLatin1(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  while (!utf8.empty()) {
    size_t length = plat::utf8SequenceLength(utf8);
    if (length == 0) {
      out += '?';
      utf8.remove_prefix(1);
      continue;
    }
    uint32_t codePoint = decode(utf8, length);
    utf8.remove_prefix(length);
    if (codePoint == euro)
      out += euroByte;
    else if (codePoint <= 0xff)
      out += char(codePoint);
    else
      out += '?';
  }
  return out;
}

std::string latin1ToUtf8(std::string_view latin1) {
  std::string out;
  out.reserve(latin1.size());
  for (char byte : latin1)
    appendUtf8(out, byte == euroByte ? euro : uint8_t(byte));
  return out;
}

} // namespace plat
