#pragma once

// Clipboard texts from classic RFB viewers (ISO-8859-1) to the agent
// (UTF-8), with the line ends the agent keeps. The other way is
// plat::utf8ToLatin1 as it is.

#include <string>
#include <string_view>

namespace kwoserve {

class CutText {
public:
  // Each byte becomes the code point of the same value (0x80 the euro sign,
  // see plat::latin1ToUtf8); CR LF and lone CR become LF.
  static std::string latin1ToUtf8(std::string_view latin1);
};

} // namespace kwoserve
