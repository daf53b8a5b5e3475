#pragma once

#include <optional>
#include <string>
#include <string_view>

// The Exif user comment as text: an 8-byte character-code prefix ("ASCII",
// "UNICODE", "JIS" or eight NULs for undefined) followed by the encoded text.
namespace UserCommentText {

enum class Charset { Ascii, Unicode, Jis, Undefined, Unknown };

// The character code named by the first 8 bytes (Unknown when fewer).
Charset charsetOf(std::string_view stored);

// The text of a stored comment as UTF-8, or nothing when it cannot be
// decoded. ASCII and undefined text ends at the first NUL; text that is not
// UTF-8 is read as ISO 8859-1. UNICODE text is UTF-16 in the byte order of the
// Exif block unless a byte-order mark says otherwise; it ends at the first
// U+0000, and an unpaired surrogate makes it undecodable. JIS and unknown
// codes are not decoded.
std::optional<std::string> decode(std::string_view stored, bool bigEndian);

// The stored form of UTF-8 text: prefix plus the text (UTF-16 without a
// byte-order mark for Unicode). Jis and Unknown are written as undefined.
std::string encode(std::string_view utf8, Charset charset, bool bigEndian);

// Appends one code point as UTF-8.
void appendUtf8(std::string& out, char32_t codePoint);

// Strict UTF-8: no overlong forms, surrogates or code points past U+10FFFF.
bool isValidUtf8(std::string_view bytes);

} // namespace UserCommentText
