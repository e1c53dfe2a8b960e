#pragma once

// Text conversions between UTF-8 and ISO-8859-1 (X's STRING type and cut
// buffers, classic RFB clipboard texts). The euro sign is carried as byte
// 0x80 in both directions, as Windows-1252 clients expect, so that it
// survives a round trip.

#include <string>
#include <string_view>

namespace plat {

// Characters above U+00FF become '?', U+20AC becomes 0x80, and every byte of
// a malformed sequence becomes '?'.
std::string utf8ToLatin1(std::string_view utf8);

// Each byte becomes the code point of the same value, except 0x80, which
// becomes U+20AC.
std::string latin1ToUtf8(std::string_view latin1);

} // namespace plat
