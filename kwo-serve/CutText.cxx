#include "kwo-serve/CutText.h"

#include "base/plat/Latin1.h"

#include <rfb/rfbproto.h>
#include <zlib.h>

#include <cstdint>
#include <limits>

namespace kwoserve {

namespace {

constexpr size_t largestBody = size_t(std::numeric_limits<int32_t>::max()) - 8;

void appendBigEndian32(std::string& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out += char(value >> shift);
}

// Type, three bytes of padding and the length (negative: extended).
std::string header(int32_t length) {
  std::string out{char(rfbServerCutText), 0, 0, 0};
  appendBigEndian32(out, uint32_t(length));
  return out;
}

} // namespace

std::string CutText::latin1ToUtf8(std::string_view latin1) {
  std::string lines;
  lines.reserve(latin1.size());
  for (size_t i = 0; i < latin1.size(); i++) {
    if (latin1[i] != '\r') {
      lines += latin1[i];
      continue;
    }
    lines += '\n';
    if (i + 1 < latin1.size() && latin1[i + 1] == '\n')
      i++;
  }
  return plat::latin1ToUtf8(lines);
}

std::string CutText::classicMessage(std::string_view utf8) {
  std::string latin1 = plat::utf8ToLatin1(utf8);
  if (latin1.size() > largestBody)
    return {};
  return header(int32_t(latin1.size())) + latin1;
}

std::string CutText::extendedMessage(std::string_view utf8) {
  // The compressed data: the text's length with its NUL, the text, the NUL.
  if (utf8.size() >= largestBody)
    return {};
  std::string plain;
  plain.reserve(utf8.size() + 5);
  appendBigEndian32(plain, uint32_t(utf8.size() + 1));
  plain.append(utf8);
  plain += '\0';
  uLongf size = compressBound(uLong(plain.size()));
  std::string compressed(size, '\0');
  if (compress2(reinterpret_cast<Bytef*>(compressed.data()), &size,
                reinterpret_cast<const Bytef*>(plain.data()), uLong(plain.size()),
                Z_BEST_SPEED) != Z_OK ||
      size + 4 > largestBody)
    return {};
  compressed.resize(size);
  // A negative length marks the extended form; the flags count in it.
  std::string message = header(-int32_t(size + 4));
  appendBigEndian32(message, rfbExtendedClipboard_Provide | rfbExtendedClipboard_Text);
  return message + compressed;
}

} // namespace kwoserve
