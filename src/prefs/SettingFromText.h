#pragma once

#include "platform/PlistValue.h"

#include <optional>
#include <string>
#include <vector>

// A setting given as text on the command line (--set KEY=VALUE), read in
// the type its key holds in the store: texts and folder paths stay texts
// ("0012" is a password, not the number 12), booleans take true, false, yes
// or no, numbers and whole numbers must be written as such.
namespace SettingFromText {

enum class Kind { Boolean, Text, Path, Number, Integer };

struct KnownKey {
    const char* name;
    Kind kind;
    long long minimum = 0; // the least number or whole number it takes
};

// Every key of the store with its type, in the order an operator meets them.
const std::vector<KnownKey>& knownKeys();

// The value to store for key, or nothing with the reason in *error (an
// unknown key, or a value its type does not take); the reason names what
// is allowed. Never throws.
std::optional<PlistValue> parse(const std::string& key, const std::string& text, std::string* error);

} // namespace SettingFromText
