#pragma once

#include <string>
#include <string_view>

// Percent escapes in paths sent by the web service: each "%XX" stands for one
// byte in Mac OS Roman, so "%20" is a space and "%C4" is "ƒ". A "%" not
// followed by two hex digits is kept as it stands. The result is UTF-8.
namespace PercentEscapes {

std::string decodeAsMacRoman(std::string_view text);

} // namespace PercentEscapes
