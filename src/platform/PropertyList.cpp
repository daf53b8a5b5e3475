#include "platform/PropertyList.h"

#include "platform/FileUtil.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <plist/plist.h>

namespace {

// libplist counts dates from 2001-01-01.
constexpr double kReferenceDateOffset = 978307200.0;

struct PlistDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

std::optional<PlistValue> fromNode(plist_t node, int depth)
{
    // Deeply nested input is refused rather than allowed to exhaust the stack.
    if (!node || depth > 64)
        return std::nullopt;
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            uint8_t v = 0;
            plist_get_bool_val(node, &v);
            return PlistValue::boolean(v != 0);
        }
        case PLIST_UINT: {
            uint64_t v = 0;
            plist_get_uint_val(node, &v);
            return PlistValue::integer(static_cast<int64_t>(v));
        }
        case PLIST_REAL: {
            double v = 0;
            plist_get_real_val(node, &v);
            return PlistValue::real(v);
        }
        case PLIST_STRING:
        case PLIST_KEY: {
            char* v = nullptr;
            if (plist_get_node_type(node) == PLIST_STRING)
                plist_get_string_val(node, &v);
            else
                plist_get_key_val(node, &v);
            std::string s = v ? v : "";
            free(v);
            return PlistValue::string(std::move(s));
        }
        case PLIST_DATA: {
            char* v = nullptr;
            uint64_t length = 0;
            plist_get_data_val(node, &v, &length);
            PlistValue::Data data(v, v + (v ? length : 0));
            free(v);
            return PlistValue::data(std::move(data));
        }
        case PLIST_DATE: {
            int32_t sec = 0, usec = 0;
            plist_get_date_val(node, &sec, &usec);
            return PlistValue::date({kReferenceDateOffset + sec + usec / 1e6});
        }
        case PLIST_UID: {
            uint64_t v = 0;
            plist_get_uid_val(node, &v);
            return PlistValue::integer(static_cast<int64_t>(v));
        }
        case PLIST_ARRAY: {
            PlistValue::Array items;
            const uint32_t n = plist_array_get_size(node);
            items.reserve(n);
            for (uint32_t i = 0; i < n; ++i) {
                auto item = fromNode(plist_array_get_item(node, i), depth + 1);
                if (!item)
                    return std::nullopt;
                items.push_back(std::move(*item));
            }
            return PlistValue::array(std::move(items));
        }
        case PLIST_DICT: {
            PlistValue::Dictionary dict;
            plist_dict_iter it = nullptr;
            plist_dict_new_iter(node, &it);
            for (;;) {
                char* key = nullptr;
                plist_t value = nullptr;
                plist_dict_next_item(node, it, &key, &value);
                if (!value) {
                    free(key);
                    break;
                }
                auto item = fromNode(value, depth + 1);
                if (!item) {
                    free(key);
                    free(it);
                    return std::nullopt;
                }
                dict.emplace(key ? key : "", std::move(*item));
                free(key);
            }
            free(it);
            return PlistValue::dictionary(std::move(dict));
        }
        default: return std::nullopt;
    }
}

plist_t toNode(const PlistValue& value)
{
    switch (value.type()) {
        case PlistValue::Type::String: return plist_new_string(value.asString()->c_str());
        case PlistValue::Type::Integer: return plist_new_uint(static_cast<uint64_t>(*value.asInteger()));
        case PlistValue::Type::Real: return plist_new_real(*value.asReal());
        case PlistValue::Type::Boolean: return plist_new_bool(*value.asBoolean() ? 1 : 0);
        case PlistValue::Type::Date: {
            const double since = value.asDate()->secondsSince1970 - kReferenceDateOffset;
            const double whole = std::floor(since);
            return plist_new_date(static_cast<int32_t>(whole), static_cast<int32_t>((since - whole) * 1e6));
        }
        case PlistValue::Type::Data: {
            const auto& data = *value.asData();
            return plist_new_data(reinterpret_cast<const char*>(data.data()), data.size());
        }
        case PlistValue::Type::Array: {
            plist_t node = plist_new_array();
            for (const auto& item : *value.asArray())
                plist_array_append_item(node, toNode(item));
            return node;
        }
        case PlistValue::Type::Dictionary: {
            plist_t node = plist_new_dict();
            for (const auto& [key, item] : *value.asDictionary())
                plist_dict_set_item(node, key.c_str(), toNode(item));
            return node;
        }
    }
    return plist_new_string("");
}

} // namespace

namespace PropertyList {

std::optional<PlistValue> parse(std::string_view bytes, std::string* error)
{
    auto fail = [error](const char* why) -> std::optional<PlistValue> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    const bool binary = bytes.size() >= 8 && std::memcmp(bytes.data(), "bplist00", 8) == 0;
    if (!binary) {
        // Padding after the closing tag (NULs, blanks, line ends) is not part of the list.
        while (!bytes.empty() &&
               (bytes.back() == '\0' || bytes.back() == ' ' || bytes.back() == '\t' || bytes.back() == '\n' ||
                bytes.back() == '\r'))
            bytes.remove_suffix(1);
        if (bytes.empty())
            return fail("empty property list");
        if (bytes.find('\0') != std::string_view::npos)
            return fail("NUL byte inside the property list");
        // Only padding may follow the closing tag.
        if (bytes.size() < 8 || bytes.substr(bytes.size() - 8) != "</plist>")
            return fail("text after the end of the property list");
    }
    if (bytes.size() > std::numeric_limits<uint32_t>::max())
        return fail("property list too large");
    plist_t raw = nullptr;
    if (binary)
        plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &raw);
    else
        plist_from_xml(bytes.data(), static_cast<uint32_t>(bytes.size()), &raw);
    PlistPtr root(raw);
    if (!root)
        return fail("not a valid property list");
    if (binary) {
        // A binary list can hold texts with a NUL, which the library's text
        // accessors abort the program on; its XML form is checked for them above.
        char* xml = nullptr;
        uint32_t length = 0;
        plist_to_xml(root.get(), &xml, &length);
        const std::string text = xml ? std::string(xml, length) : std::string();
        if (xml)
            plist_to_xml_free(xml);
        return parse(text, error);
    }
    auto value = fromNode(root.get(), 0);
    if (!value)
        return fail("unsupported or too deeply nested property list content");
    return value;
}

std::string toXml(const PlistValue& value)
{
    PlistPtr root(toNode(value));
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root.get(), &xml, &length);
    std::string out = xml ? std::string(xml, length) : std::string();
    if (xml)
        plist_to_xml_free(xml);
    return out;
}

std::optional<PlistValue> readFile(const std::string& path, std::string* error)
{
    std::string contents;
    std::string readError;
    if (!FileUtil::readFile(path, contents, &readError)) {
        if (error)
            *error = readError;
        return std::nullopt;
    }
    return parse(contents, error);
}

} // namespace PropertyList
