#include "base/plat/LogEscape.h"

#include "base/plat/Utf8.h"

namespace plat {

namespace {

void appendInvalidByte(std::string& out, unsigned char byte) {
  unsigned char low = byte & 0x7f;
  if (low >= 33 && low <= 126) {
    out += "~M-";
    out += char(low);
    return;
  }
  out += "~M^";
  out += char(low ^ 64);
}

} // namespace

bool logTextNeedsEscape(std::string_view text) {
  for (unsigned char byte : text) {
    if (byte < 0x20 || byte > 0x7d)
      return true;
  }
  return false;
}

std::string escapeLogText(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 16);
  size_t i = 0;
  while (i < text.size()) {
    unsigned char byte = text[i];
    if (byte == '~') {
      out += "~~";
      i++;
    } else if (byte < 0x20 || byte == 0x7f) {
      out += "~^";
      out += char(byte ^ 64);
      i++;
    } else if (byte < 0x80) {
      out += char(byte);
      i++;
    } else if (size_t length = utf8SequenceLength(text.substr(i))) {
      out.append(text, i, length);
      i += length;
    } else {
      appendInvalidByte(out, byte);
      i++;
    }
  }
  return out;
}

} // namespace plat
