#include "platform/XmlText.h"

namespace XmlText {

namespace {

bool isText(const pugi::xml_node& node) { return node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata; }

} // namespace

std::string stringValue(const pugi::xml_node& node)
{
    if (isText(node))
        return node.value();
    std::string text;
    pugi::xml_node current = node.first_child();
    while (current) {
        if (isText(current))
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

} // namespace XmlText
