#include "remote/CommandProtocol.h"

#include <nlohmann/json.hpp>

using nlohmann::json;

namespace CommandProtocol {

namespace {

json toJson(const AppleEventDescriptor& descriptor)
{
    if (const std::string* text = descriptor.stringValue())
        return *text;
    if (const AppleEventDescriptor::List* list = descriptor.items()) {
        json array = json::array();
        for (const auto& item : *list)
            array.push_back(toJson(item));
        return array;
    }
    return nullptr;
}

std::string dumpLine(const json& value)
{
    // Settings may hold bytes that are not UTF-8; replace them rather than throw.
    return value.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

// Texts travel on to C strings and the settings file, where a NUL would cut them.
bool fromJson(const json& value, int depth, AppleEventDescriptor* out)
{
    if (value.is_string()) {
        const auto& text = value.get_ref<const std::string&>();
        if (text.find('\0') != std::string::npos)
            return false;
        *out = AppleEventDescriptor::descriptorWithString(text);
        return true;
    }
    if (value.is_array() && depth < kMaxListDepth) {
        AppleEventDescriptor list = AppleEventDescriptor::listDescriptor();
        for (const auto& item : value) {
            AppleEventDescriptor converted;
            if (!fromJson(item, depth + 1, &converted))
                return false;
            list.appendDescriptor(std::move(converted));
        }
        *out = std::move(list);
        return true;
    }
    return false;
}

bool isFourCharCode(const json& value)
{
    if (!value.is_string())
        return false;
    const auto& text = value.get_ref<const std::string&>();
    if (text.size() != 4)
        return false;
    for (unsigned char c : text)
        if (c < 0x20 || c > 0x7e)
            return false;
    return true;
}

bool fail(std::string* error, const char* message)
{
    if (error)
        *error = message;
    return false;
}

} // namespace

std::string encodeRequest(const AppleEvent& event)
{
    json request = json::object();
    request["class"] = event.eventClass;
    request["id"] = event.eventID;
    request["directObject"] = toJson(event.directObject);
    request["wantsReply"] = event.wantsReply;
    return dumpLine(request);
}

bool decodeRequest(std::string_view line, AppleEvent* event, std::string* error)
{
    if (line.size() > kMaxLineBytes)
        return fail(error, "line too long");
    const json request = json::parse(line.begin(), line.end(), nullptr, false);
    if (request.is_discarded())
        return fail(error, "not JSON");
    if (!request.is_object())
        return fail(error, "a command must be a JSON object");
    const auto eventClass = request.find("class");
    if (eventClass == request.end() || !isFourCharCode(*eventClass))
        return fail(error, "missing or invalid \"class\" (four characters)");
    const auto eventID = request.find("id");
    if (eventID == request.end() || !isFourCharCode(*eventID))
        return fail(error, "missing or invalid \"id\" (four characters)");

    AppleEvent decoded;
    decoded.eventClass = eventClass->get<std::string>();
    decoded.eventID = eventID->get<std::string>();
    if (const auto wantsReply = request.find("wantsReply"); wantsReply != request.end()) {
        if (!wantsReply->is_boolean())
            return fail(error, "\"wantsReply\" must be true or false");
        decoded.wantsReply = wantsReply->get<bool>();
    }
    if (const auto direct = request.find("directObject"); direct != request.end() && !direct->is_null()) {
        if (!fromJson(*direct, 0, &decoded.directObject))
            return fail(error, "\"directObject\" must be a text or a list of texts");
    }
    // The parameter command reads exactly three texts: word, key, value.
    if (decoded.eventClass == AppleEventCode::kClassQuon && decoded.eventID == AppleEventCode::kIdParameter &&
        !decoded.directObject.isNone()) {
        bool wellFormed = decoded.directObject.numberOfItems() == 3;
        for (size_t i = 1; wellFormed && i <= 3; ++i)
            wellFormed = decoded.directObject.descriptorAtIndex(i)->isText();
        if (!wellFormed)
            return fail(error, "\"directObject\" of \"1234\" must be a list of three texts: word, key, value");
    }
    *event = std::move(decoded);
    return true;
}

std::string encodeReply(const AppleEventDescriptor& directObject)
{
    json reply = json::object();
    reply["directObject"] = toJson(directObject);
    return dumpLine(reply);
}

std::string encodeError(const std::string& message)
{
    json reply = json::object();
    reply["error"] = message;
    return dumpLine(reply);
}

DecodedReply decodeReply(std::string_view line)
{
    DecodedReply decoded;
    const json reply = json::parse(line.begin(), line.end(), nullptr, false);
    if (reply.is_discarded() || !reply.is_object()) {
        decoded.message = "the reply is not a JSON object";
        return decoded;
    }
    if (const auto error = reply.find("error"); error != reply.end()) {
        decoded.kind = DecodedReply::Kind::Error;
        decoded.message = error->is_string() ? error->get<std::string>() : error->dump();
        return decoded;
    }
    const auto direct = reply.find("directObject");
    if (direct == reply.end()) {
        decoded.message = "the reply has no \"directObject\"";
        return decoded;
    }
    if (!direct->is_null() && !fromJson(*direct, 0, &decoded.directObject)) {
        decoded.message = "the reply's \"directObject\" is neither a text nor a list";
        return decoded;
    }
    decoded.kind = DecodedReply::Kind::Reply;
    return decoded;
}

std::string toJsonText(const AppleEventDescriptor& descriptor) { return descriptor.describe(); }

} // namespace CommandProtocol
