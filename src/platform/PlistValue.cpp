#include "platform/PlistValue.h"

#include "platform/NumberText.h"

std::optional<double> PlistValue::numberValue() const
{
    if (auto i = asInteger())
        return static_cast<double>(*i);
    if (auto r = asReal())
        return *r;
    if (auto b = asBoolean())
        return *b ? 1.0 : 0.0;
    return std::nullopt;
}

const PlistValue* PlistValue::find(const std::string& key) const
{
    const Dictionary* dict = asDictionary();
    if (!dict)
        return nullptr;
    auto it = dict->find(key);
    return it == dict->end() ? nullptr : &it->second;
}

std::string PlistValue::describe() const
{
    switch (type()) {
        case Type::String: return "\"" + *asString() + "\"";
        case Type::Integer: return std::to_string(*asInteger());
        case Type::Real: return NumberText::shortest(*asReal());
        case Type::Boolean: return *asBoolean() ? "YES" : "NO";
        case Type::Date: return "<date " + NumberText::shortest(asDate()->secondsSince1970) + ">";
        case Type::Data: return "<" + std::to_string(asData()->size()) + " bytes>";
        case Type::Array: {
            std::string out = "(";
            bool first = true;
            for (const auto& item : *asArray()) {
                out += first ? "" : ", ";
                out += item.describe();
                first = false;
            }
            return out + ")";
        }
        case Type::Dictionary: {
            std::string out = "{";
            bool first = true;
            for (const auto& [key, item] : *asDictionary()) {
                out += first ? "" : "; ";
                out += key + " = " + item.describe();
                first = false;
            }
            return out + "}";
        }
    }
    return {};
}
