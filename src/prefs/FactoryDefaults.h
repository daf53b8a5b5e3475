#pragma once

#include "platform/PlistValue.h"

#include <string>

// Start-up set-up of the settings store: the factory defaults shipped as
// FactoryDefault.plist, and the one-time copy of the older uploader's settings.
namespace FactoryDefaults {

// Registers FactoryDefault.plist (found among the resources, or at path when
// given) as the defaults layer. Returns false when it could not be read.
bool setupFactoryDefaults(const std::string& path = {});

// The factory values of the exported keys, for the interface's revert.
// A key the resource lacks is absent here.
PlistValue::Dictionary exportedInitialValues();

// Copies the exported keys from the older uploader's settings file once,
// then marks the copy done with prefDoCopyOldFtpPref.
void migrateOldUploaderPreferences(const std::string& oldPath);

} // namespace FactoryDefaults

// Stores a value under a key and saves the store; logs the change. False
// when the store could not be saved (the value holds until quit).
bool saveSettingToUserDefaults(const PlistValue& value, const std::string& key);

// "yes" or "no", ignoring case.
bool isValidYesNoString(const std::string* text);
