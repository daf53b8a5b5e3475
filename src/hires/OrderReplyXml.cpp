#include "hires/OrderReplyXml.h"

#include "platform/ConsoleLog.h"
#include "platform/MacRoman.h"

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

std::string stringValue(const pugi::xml_node& node)
{
    if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata)
        return node.value();
    std::string text;
    // Walks the subtree in document order without recursion.
    pugi::xml_node current = node.first_child();
    while (current && current != node) {
        if (current.type() == pugi::node_pcdata || current.type() == pugi::node_cdata)
            text += current.value();
        if (current.first_child()) {
            current = current.first_child();
            continue;
        }
        while (current != node && !current.next_sibling())
            current = current.parent();
        if (current == node)
            break;
        current = current.next_sibling();
    }
    return text;
}

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
