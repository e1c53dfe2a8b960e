#pragma once

// UTF-8 checks shared by parameters, streams and logging. Overlong forms,
// surrogates and code points above U+10FFFF are invalid.

#include <cstddef>
#include <string>
#include <string_view>

namespace plat {

// Length of the valid UTF-8 sequence that starts at text[0], or 0 when the
// bytes there do not form one (also when text is empty).
size_t utf8SequenceLength(std::string_view text);

bool isValidUtf8(std::string_view text);

// The text with every byte of an invalid sequence replaced by U+FFFD.
std::string repairUtf8(std::string_view text);

} // namespace plat
