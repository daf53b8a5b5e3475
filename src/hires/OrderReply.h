#pragma once

#include <optional>
#include <string>
#include <vector>

namespace pugi {
class xml_node;
} // namespace pugi

// What an order reply says, read without acting on it. Version 3 lists
// "order" elements, version 4 "image" elements (which may also name the
// file); both carry a status and a message beside them.
struct OrderReply {
    // One ordered image as the reply gives it.
    struct Image {
        std::optional<std::string> orderid, imageid, pictureid, filename, localfilelocation;
    };

    std::optional<std::string> status;
    std::optional<std::string> message;
    std::vector<Image> images;

    static OrderReply readVers3(const pugi::xml_node& root);
    static OrderReply readVers4(const pugi::xml_node& root);
};
