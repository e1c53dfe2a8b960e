#pragma once

// Clipboard texts between RFB viewers and the agent (UTF-8): classic
// viewers speak ISO-8859-1, viewers with the extended clipboard UTF-8 in
// zlib-compressed messages.

#include <string>
#include <string_view>

namespace kwoserve {

class CutText {
public:
  // Each byte becomes the code point of the same value (0x80 the euro sign,
  // see plat::latin1ToUtf8); CR LF and lone CR become LF.
  static std::string latin1ToUtf8(std::string_view latin1);

  // A whole ServerCutText message carrying `utf8`: classic (the text in
  // ISO-8859-1, see plat::utf8ToLatin1), or an extended clipboard "provide"
  // of the text. Empty when the text is too large for the message.
  static std::string classicMessage(std::string_view utf8);
  static std::string extendedMessage(std::string_view utf8);
};

} // namespace kwoserve
