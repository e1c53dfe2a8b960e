#include "base/plat/Utf8.h"

namespace plat {

namespace {

bool isContinuation(unsigned char c) { return (c & 0xc0) == 0x80; }

} // namespace

size_t utf8SequenceLength(std::string_view text) {
  if (text.empty())
    return 0;
  auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(0);
  if (lead < 0x80)
    return 1;
  size_t length;
  char32_t codePoint;
  char32_t minimum;
  if ((lead & 0xe0) == 0xc0) {
    length = 2, codePoint = lead & 0x1f, minimum = 0x80;
  } else if ((lead & 0xf0) == 0xe0) {
    length = 3, codePoint = lead & 0x0f, minimum = 0x800;
  } else if ((lead & 0xf8) == 0xf0) {
    length = 4, codePoint = lead & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  if (text.size() < length)
    return 0;
  for (size_t i = 1; i < length; i++) {
    if (!isContinuation(byte(i)))
      return 0;
    codePoint = (codePoint << 6) | (byte(i) & 0x3f);
  }
  if (codePoint < minimum || codePoint > 0x10ffff || (codePoint >= 0xd800 && codePoint <= 0xdfff))
    return 0;
  return length;
}

bool isValidUtf8(std::string_view text) {
  while (!text.empty()) {
    size_t length = utf8SequenceLength(text);
    if (length == 0)
      return false;
    text.remove_prefix(length);
  }
  return true;
}

std::string repairUtf8(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  while (!text.empty()) {
    size_t length = utf8SequenceLength(text);
    if (length == 0) {
      result += "\xef\xbf\xbd";
      length = 1;
    } else {
      result.append(text.substr(0, length));
    }
    text.remove_prefix(length);
  }
  return result;
}

} // namespace plat
