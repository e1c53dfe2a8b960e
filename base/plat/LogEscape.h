#pragma once

// Makes a log text safe for a terminal or a line-based file while keeping it
// readable. Printable ASCII stays; '~' becomes "~~"; a control character or
// DEL becomes "~^" and the character XOR 64 (a tab is "~^I"); valid UTF-8
// sequences stay; each byte of an invalid sequence becomes "~M-" and its low
// 7 bits when those are printable (33..126), else "~M^" and the low 7 bits
// XOR 64.

#include <string>
#include <string_view>

namespace plat {

// Whether escapeLogText would change the text (some byte lies outside
// 0x20..0x7d).
bool logTextNeedsEscape(std::string_view text);

std::string escapeLogText(std::string_view text);

} // namespace plat
