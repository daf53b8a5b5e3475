#include "upload/UploadReply.h"

#include "platform/ConsoleLog.h"
#include "platform/MacRoman.h"
#include "platform/XmlText.h"

#include <pugixml.hpp>

namespace {

// Children of the root logged one by one; a wider reply is summed up in one
// line, so a hostile reply cannot flood the log.
constexpr int kLoggedChildren = 10;

pugi::xml_parse_result parse(pugi::xml_document& document, const std::string& text)
{
    // The text is already decoded; a declared encoding must not re-decode it.
    return document.load_buffer(text.data(), text.size(), pugi::parse_default, pugi::encoding_utf8);
}

} // namespace

UploadReply UploadReply::read(std::string_view body)
{
    UploadReply reply;
    const std::string text = MacRoman::toUtf8(body);
    pugi::xml_document document;
    const pugi::xml_parse_result parsed = parse(document, text);
    if (!parsed) {
        const std::string description =
            stringWithFormat("%s (at offset %lld)", parsed.description(), static_cast<long long>(parsed.offset));
        ConsoleLog::writef("responseString converted to xmlDoc with Error: [%s]\n\n", description.c_str());
        reply.status = "FAIL";
        reply.message = description;
        return reply;
    }
    const pugi::xml_node root = document.document_element();
    int count = 0;
    std::string first, second;
    for (const pugi::xml_node& child : root.children()) {
        if (count < kLoggedChildren) {
            const std::string value = XmlText::stringValue(child);
            std::string imageIds;
            for (const pugi::xml_node& id : child.children("imageid"))
                imageIds += (imageIds.empty() ? "" : ", ") + XmlText::stringValue(id);
            ConsoleLog::writef("===> NSXMLNode child[%i] = [%s]", count, value.c_str());
            ConsoleLog::writef("===> name at child[%i] = [%s]", count, child.name());
            ConsoleLog::writef("===> imageid at child[%i] = [%s]", count, imageIds.c_str());
            if (count == 0)
                first = value;
            else if (count == 1)
                second = value;
        }
        ++count;
    }
    if (count > kLoggedChildren)
        ConsoleLog::writef("===> %i more children of the reply not logged", count - kLoggedChildren);
    if (count >= 2) {
        reply.status = first;
        reply.message = second;
    } else {
        ConsoleLog::write("NOT GETTING Enough data back from Response??????");
        reply.status = "FAIL";
        reply.message = kNotEnoughData;
    }
    return reply;
}
