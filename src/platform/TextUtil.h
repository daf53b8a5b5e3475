#pragma once

#include <string>

// Small text helpers shared across the uploader.
namespace TextUtil {

// Without white space and line breaks at either end.
std::string trimmed(const std::string& text);

// Compared without regard to ASCII letter case.
bool equalsIgnoringCase(const std::string& a, const char* b);

// The value of a hexadecimal digit, or -1.
int hexDigitValue(char c);

} // namespace TextUtil
