#pragma once

// The message catalogue: user-facing texts looked up by message id. Only the
// English texts are built in; a key the catalogue does not know yields
// "[<key>]" so that a missing entry shows up instead of vanishing.

#include <string>
#include <string_view>

namespace loc {

// The text for the key; a null key yields an empty text.
std::string text(const char* key);

bool hasText(const char* key);

// The text with its first "%s" replaced by the argument. The argument is
// inserted as it is, never read as a format.
std::string substitute(std::string_view text, std::string_view argument);

} // namespace loc
