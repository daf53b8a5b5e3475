#pragma once

#include <string>
#include <string_view>

// Mac OS Roman: the web service answers in it and the station escapes paths
// in it. Every byte maps to one character,
// so decoding never fails; the result is UTF-8.
namespace MacRoman {

std::string toUtf8(std::string_view bytes);

// The character a byte from 0x80 up stands for.
char32_t codePointForHighByte(unsigned char byte);

} // namespace MacRoman
