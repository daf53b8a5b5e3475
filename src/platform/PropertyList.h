#pragma once

#include "platform/PlistValue.h"

#include <optional>
#include <string>
#include <string_view>

// Reading and writing property lists (XML or binary) with libplist.
namespace PropertyList {

// Parses an XML or binary property list. NUL and white-space padding after
// the closing tag is accepted. On failure returns nothing and, when asked,
// a short reason.
std::optional<PlistValue> parse(std::string_view bytes, std::string* error = nullptr);

// The XML form of the value.
std::string toXml(const PlistValue& value);

// Reads and parses a file; nothing (and the reason) when it cannot.
std::optional<PlistValue> readFile(const std::string& path, std::string* error = nullptr);

} // namespace PropertyList
