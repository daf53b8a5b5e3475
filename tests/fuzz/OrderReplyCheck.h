#pragma once

#include "hires/OrderReply.h"
#include "hires/OrderReplyXml.h"
#include "platform/PercentEscapes.h"

#include <cstdint>
#include <pugixml.hpp>
#include <string_view>

// What both order reply targets check of one reply body: it is parsed (or
// refused with a reason), read, and every location it names is decoded.
namespace OrderReplyCheck {

inline void read(const uint8_t* data, size_t size, OrderReply (*reader)(const pugi::xml_node&), const char* item)
{
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    pugi::xml_document document;
    std::string error;
    if (!OrderReplyXml::parse(body, document, &error)) {
        if (error.empty())
            __builtin_trap();
        return;
    }
    const pugi::xml_node root = document.document_element();
    const OrderReply reply = reader(root);
    // One image for each item element directly under the root, no more.
    size_t items = 0;
    for (const pugi::xml_node& child : root.children(item))
        items += child.type() == pugi::node_element;
    if (reply.images.size() != items)
        __builtin_trap();
    for (const OrderReply::Image& image : reply.images) {
        if (image.localfilelocation)
            PercentEscapes::decodeAsMacRoman(*image.localfilelocation);
    }
    // A status is logged cut to size whatever its length.
    if (reply.status && OrderReplyXml::boundedForLog(*reply.status).size() > 17 * 1024)
        __builtin_trap();
}

} // namespace OrderReplyCheck
