#include "hires/OrderReply.h"

#include "hires/OrderReplyXml.h"

#include <pugixml.hpp>

namespace {

// The ids and location both reply versions carry, from an order or image element.
OrderReply::Image imageFrom(const pugi::xml_node& node)
{
    OrderReply::Image image;
    image.orderid = OrderReplyXml::firstChildText(node, "orderid");
    image.imageid = OrderReplyXml::firstChildText(node, "imageid");
    image.pictureid = OrderReplyXml::firstChildText(node, "pictureid");
    image.localfilelocation = OrderReplyXml::firstChildText(node, "localfilelocation");
    return image;
}

OrderReply readStatusAndMessage(const pugi::xml_node& root)
{
    OrderReply reply;
    reply.status = OrderReplyXml::firstChildText(root, "status");
    reply.message = OrderReplyXml::firstChildText(root, "message");
    return reply;
}

} // namespace

OrderReply OrderReply::readVers3(const pugi::xml_node& root)
{
    OrderReply reply = readStatusAndMessage(root);
    for (const pugi::xml_node& order : OrderReplyXml::childElements(root, "order"))
        reply.images.push_back(imageFrom(order));
    return reply;
}

OrderReply OrderReply::readVers4(const pugi::xml_node& root)
{
    OrderReply reply = readStatusAndMessage(root);
    for (const pugi::xml_node& node : OrderReplyXml::childElements(root, "image")) {
        Image image = imageFrom(node);
        image.filename = OrderReplyXml::firstChildText(node, "filename");
        reply.images.push_back(std::move(image));
    }
    return reply;
}
