#include "platform/NumberText.h"

#include <charconv>
#include <cmath>

namespace NumberText {

namespace {

// Skips the blanks and the plus sign that atof accepts before a number; the
// conversion itself is locale-independent, whatever LC_NUMERIC says.
std::string_view numberStart(std::string_view text)
{
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    if (i < text.size() && text[i] == '+' && i + 1 < text.size() && text[i + 1] != '-')
        ++i;
    return text.substr(i);
}

template <typename T> bool parseLeading(std::string_view text, T& value)
{
    const std::string_view start = numberStart(text);
    auto result = std::from_chars(start.data(), start.data() + start.size(), value);
    return result.ec == std::errc() || result.ec == std::errc::result_out_of_range;
}

} // namespace

double leadingDouble(std::string_view text)
{
    double value = 0;
    return parseLeading(text, value) ? value : 0.0;
}

long long leadingInteger(std::string_view text)
{
    long long value = 0;
    return parseLeading(text, value) ? value : 0;
}

bool startsWithNumber(std::string_view text)
{
    double value = 0;
    return parseLeading(text, value);
}

std::string shortest(double value)
{
    if (std::isnan(value))
        return "nan";
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

} // namespace NumberText
