// A --set KEY=VALUE of the uploader's command line. An accepted value has the
// type of its key, a text is kept byte for byte, and a refusal says why.
#include "prefs/SettingFromText.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string argument(reinterpret_cast<const char*>(data), size);
    const size_t eq = argument.find('=');
    const std::string key = argument.substr(0, eq);
    const std::string text = eq == std::string::npos ? std::string() : argument.substr(eq + 1);
    std::string error;
    const auto value = SettingFromText::parse(key, text, &error);
    const SettingFromText::KnownKey* known = nullptr;
    for (const auto& candidate : SettingFromText::knownKeys())
        if (key == candidate.name)
            known = &candidate;
    if (!value) {
        if (error.empty())
            __builtin_trap();
        return 0;
    }
    if (!known || !error.empty())
        __builtin_trap();
    using Kind = SettingFromText::Kind;
    switch (known->kind) {
        case Kind::Text:
        case Kind::Path:
            if (!value->asString() || *value->asString() != text)
                __builtin_trap();
            break;
        case Kind::Boolean:
            if (!value->isBoolean())
                __builtin_trap();
            break;
        case Kind::Integer:
            if (!value->asInteger() || *value->asInteger() < known->minimum)
                __builtin_trap();
            break;
        case Kind::Number:
            if (!value->isNumber() || !(*value->numberValue() >= static_cast<double>(known->minimum)))
                __builtin_trap();
            break;
    }
    return 0;
}
