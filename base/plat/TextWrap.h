#pragma once

// Word wrapping for terminal help texts.

#include <string>
#include <string_view>

namespace plat {

// The text broken at spaces so that no line exceeds width characters, unless
// a single word is longer than the room left. The spaces at a break are
// dropped; every line after a break (also after a newline already in the
// text) starts with indent spaces. Runs of spaces inside a line are kept.
std::string wrapText(std::string_view text, size_t width, size_t indent = 0);

} // namespace plat
