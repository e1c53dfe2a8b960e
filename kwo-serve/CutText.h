#pragma once

// Clipboard texts between classic RFB viewers (ISO-8859-1) and the agent
// (UTF-8). The euro sign is carried as byte 0x80 in the Latin-1 form, as the
// agent's own cut buffer does, so that it survives a round trip.

#include <string>
#include <string_view>

namespace kwoserve {

class CutText {
public:
  // Each byte becomes the code point of the same value (0x80 the euro sign);
  // CR LF and lone CR become LF.
  static std::string latin1ToUtf8(std::string_view latin1);
  // Characters above U+00FF become '?', the euro sign 0x80, malformed
  // sequences '?'; LF stays LF.
  static std::string utf8ToLatin1(std::string_view utf8);
};

} // namespace kwoserve
