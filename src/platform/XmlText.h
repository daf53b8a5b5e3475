#pragma once

#include <pugixml.hpp>

#include <string>

namespace XmlText {

// The node's text and that of all its descendants, in document order. Walked
// without recursion: a reply nested deeper than any stack must not crash.
std::string stringValue(const pugi::xml_node& node);

} // namespace XmlText
