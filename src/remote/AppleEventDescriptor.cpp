#include "remote/AppleEventDescriptor.h"

#include <nlohmann/json.hpp>

AppleEventDescriptor AppleEventDescriptor::descriptorWithString(std::string text)
{
    AppleEventDescriptor descriptor;
    descriptor.fValue = std::move(text);
    return descriptor;
}

AppleEventDescriptor AppleEventDescriptor::listDescriptor(List items)
{
    AppleEventDescriptor descriptor;
    descriptor.fValue = std::move(items);
    return descriptor;
}

size_t AppleEventDescriptor::numberOfItems() const
{
    const List* list = items();
    return list ? list->size() : 0;
}

const AppleEventDescriptor* AppleEventDescriptor::descriptorAtIndex(size_t index) const
{
    const List* list = items();
    if (!list || index == 0 || index > list->size())
        return nullptr;
    return &(*list)[index - 1];
}

void AppleEventDescriptor::appendDescriptor(AppleEventDescriptor item)
{
    if (List* list = std::get_if<List>(&fValue))
        list->push_back(std::move(item));
}

namespace {

nlohmann::json toJson(const AppleEventDescriptor& descriptor)
{
    if (const std::string* text = descriptor.stringValue())
        return *text;
    if (const AppleEventDescriptor::List* list = descriptor.items()) {
        nlohmann::json array = nlohmann::json::array();
        for (const auto& item : *list)
            array.push_back(toJson(item));
        return array;
    }
    return nullptr;
}

} // namespace

std::string AppleEventDescriptor::describe() const
{
    // Texts read from the store may hold bytes that are not UTF-8: replace
    // them rather than throw.
    return toJson(*this).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}
