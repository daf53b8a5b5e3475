#include "hires/OrderReplyXml.h"

#include "platform/ConsoleLog.h"
#include "platform/MacRoman.h"
#include "platform/XmlText.h"

namespace OrderReplyXml {

namespace {
constexpr size_t kLongestLoggedText = 16 * 1024;
}

bool parse(std::string_view body, pugi::xml_document& document, std::string* error)
{
    const std::string text = MacRoman::toUtf8(body);
    // The text is already decoded; a declared encoding must not re-decode it.
    const pugi::xml_parse_result parsed =
        document.load_buffer(text.data(), text.size(), pugi::parse_default, pugi::encoding_utf8);
    if (parsed)
        return true;
    if (error)
        *error = stringWithFormat("%s (at offset %lld)", parsed.description(), static_cast<long long>(parsed.offset));
    return false;
}

std::string stringValue(const pugi::xml_node& node) { return XmlText::stringValue(node); }

std::vector<pugi::xml_node> childElements(const pugi::xml_node& node, const char* name)
{
    std::vector<pugi::xml_node> found;
    for (const pugi::xml_node& child : node.children(name))
        if (child.type() == pugi::node_element)
            found.push_back(child);
    return found;
}

std::optional<std::string> firstChildText(const pugi::xml_node& node, const char* name)
{
    for (const pugi::xml_node& child : node.children(name))
        if (child.type() == pugi::node_element)
            return stringValue(child);
    return std::nullopt;
}

std::string boundedForLog(std::string_view text)
{
    if (text.size() <= kLongestLoggedText)
        return std::string(text);
    return std::string(text.substr(0, kLongestLoggedText)) +
        stringWithFormat("... (%zu more bytes not shown)", text.size() - kLongestLoggedText);
}

} // namespace OrderReplyXml
