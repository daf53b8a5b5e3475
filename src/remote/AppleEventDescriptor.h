#pragma once

#include <string>
#include <variant>
#include <vector>

// The value carried by a remote command's direct object and by its reply:
// nothing, a text, or a list of descriptors (lists may nest).
class AppleEventDescriptor {
public:
    using List = std::vector<AppleEventDescriptor>;
    enum class Kind { None, Text, List };

    AppleEventDescriptor() = default;
    static AppleEventDescriptor descriptorWithString(std::string text);
    static AppleEventDescriptor listDescriptor(List items = {});

    Kind kind() const { return static_cast<Kind>(fValue.index()); }
    bool isNone() const { return kind() == Kind::None; }
    bool isText() const { return kind() == Kind::Text; }
    bool isList() const { return kind() == Kind::List; }

    // The text of a text descriptor; null for anything else.
    const std::string* stringValue() const { return std::get_if<std::string>(&fValue); }
    // The items of a list; null for anything else.
    const List* items() const { return std::get_if<List>(&fValue); }

    // Number of items of a list (0 for a text or nothing).
    size_t numberOfItems() const;
    // The item at index, counted from 1; null when out of range or not a list.
    const AppleEventDescriptor* descriptorAtIndex(size_t index) const;
    // Appends to a list; ignored for a text or nothing.
    void appendDescriptor(AppleEventDescriptor item);

    // A one-line description for log messages (JSON-like).
    std::string describe() const;

    bool operator==(const AppleEventDescriptor&) const = default;

private:
    std::variant<std::monostate, std::string, List> fValue;
};
