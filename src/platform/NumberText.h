#pragma once

#include <string>
#include <string_view>

// Number <-> text conversions with the C library's leading-number rules, used
// by the preference store's read conversions and the command handler.
namespace NumberText {

// The leading decimal number of the text by the rules of atof (0 when none).
double leadingDouble(std::string_view text);

// The leading integer of the text by the rules of atoll (0 when none).
long long leadingInteger(std::string_view text);

// True when the text, after leading blanks, starts with a number atof can read.
bool startsWithNumber(std::string_view text);

// The shortest decimal text that reads back as the same value ("90", "7.5").
std::string shortest(double value);

} // namespace NumberText
