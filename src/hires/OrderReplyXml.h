#pragma once

#include <optional>
#include <pugixml.hpp>
#include <string>
#include <string_view>
#include <vector>

// Reading the web service's order and hi-res replies. Nothing here recurses
// over the depth of a reply, so a deeply nested one cannot exhaust the stack.
namespace OrderReplyXml {

// Decodes the body as Mac OS Roman and parses it; false and the parser's
// complaint when it is no XML document.
bool parse(std::string_view body, pugi::xml_document& document, std::string* error);

// All text inside the node, concatenated in document order.
std::string stringValue(const pugi::xml_node& node);

// The direct child elements of that name, in document order.
std::vector<pugi::xml_node> childElements(const pugi::xml_node& node, const char* name);

// The text of the first direct child element of that name; none without one.
std::optional<std::string> firstChildText(const pugi::xml_node& node, const char* name);

// The text cut to a length fit for one log line, saying how much was left out.
std::string boundedForLog(std::string_view text);

} // namespace OrderReplyXml
