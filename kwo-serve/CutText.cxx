#include "kwo-serve/CutText.h"

#include "base/plat/Utf8.h"

#include <cstdint>

namespace kwoserve {

namespace {

constexpr uint32_t euro = 0x20AC;

void appendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += char(cp);
  } else if (cp < 0x800) {
    out += char(0xC0 | (cp >> 6));
    out += char(0x80 | (cp & 0x3F));
  } else {
    out += char(0xE0 | (cp >> 12));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  }
}

// Decodes one UTF-8 sequence at `i`; a malformed one yields nothing and a
// length of 1 so that decoding carries on with the next byte.
bool decodeUtf8(std::string_view text, size_t i, uint32_t& cp, size_t& length) {
  uint8_t first = uint8_t(text[i]);
  length = 1;
  if (first < 0x80) {
    cp = first;
    return true;
  }
  size_t n = first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : first >= 0xC0 ? 2 : 0;
  if (n == 0 || i + n > text.size() || !plat::isValidUtf8(text.substr(i, n)))
    return false;
  cp = first & (0xFF >> (n + 1));
  for (size_t k = 1; k < n; k++)
    cp = (cp << 6) | (uint8_t(text[i + k]) & 0x3F);
  length = n;
  return true;
}

} // namespace

std::string CutText::latin1ToUtf8(std::string_view latin1) {
  std::string out;
  out.reserve(latin1.size());
  for (size_t i = 0; i < latin1.size(); i++) {
    uint8_t c = uint8_t(latin1[i]);
    if (c == '\r') {
      out += '\n';
      if (i + 1 < latin1.size() && latin1[i + 1] == '\n')
        i++;
      continue;
    }
    appendUtf8(out, c == 0x80 ? euro : c);
  }
  return out;
}

std::string CutText::utf8ToLatin1(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    uint32_t cp = 0;
    size_t length = 1;
    if (!decodeUtf8(utf8, i, cp, length))
      out += '?';
    else if (cp == euro)
      out += char(0x80);
    else if (cp > 0xFF)
      out += '?';
    else
      out += char(cp);
    i += length;
  }
  return out;
}

} // namespace kwoserve
