#include "prefs/FactoryDefaults.h"

#include "platform/AppPaths.h"
#include "platform/ConsoleLog.h"
#include "platform/FileUtil.h"
#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"
#include "prefs/PreferenceKeys.h"
#include "prefs/Preferences.h"

#include <strings.h>

namespace {

PlistValue::Dictionary gFactoryValues;

} // namespace

namespace FactoryDefaults {

bool setupFactoryDefaults(const std::string& path)
{
    ConsoleLog::write("setupFactoryDefaults");
    const std::string resource = path.empty() ? AppPaths::resourcePath("FactoryDefault.plist") : path;
    ConsoleLog::writef("userDefaultsValuesPath = [%s]", resource.c_str());
    std::string error;
    auto values = resource.empty() ? std::nullopt : PropertyList::readFile(resource, &error);
    gFactoryValues.clear();
    if (!values || !values->isDictionary()) {
        ConsoleLog::write("userDefaultsValuesDict == NIL!!!!");
        Preferences::exportedKeys();
        return false;
    }
    ConsoleLog::writef("About to register factory default dictionary:\n%s\n\n", values->describe().c_str());
    gFactoryValues = *values->asDictionary();
    UserDefaults::standard().registerDefaults(gFactoryValues);
    Preferences::exportedKeys();
    return true;
}

PlistValue::Dictionary exportedInitialValues()
{
    PlistValue::Dictionary initial;
    for (const auto& key : Preferences::exportedKeys())
        if (auto it = gFactoryValues.find(key); it != gFactoryValues.end())
            initial.emplace(key, it->second);
    return initial;
}

void migrateOldUploaderPreferences(const std::string& oldPath)
{
    UserDefaults& store = UserDefaults::standard();
    if (!store.hasValue(PrefKey::DoCopyOldFtpPref)) {
        ConsoleLog::writef("This version does NOT have pref = [%s]", PrefKey::DoCopyOldFtpPref);
        return;
    }
    if (store.boolForKey(PrefKey::DoCopyOldFtpPref)) {
        ConsoleLog::write("ALREADY Copied OLD Ftp Prefs...");
        return;
    }
    if (!FileUtil::exists(oldPath)) {
        ConsoleLog::write("NO OLD ftp-uploader.plist to copy...");
        return;
    }
    ConsoleLog::writef("Need to Copy OLD Ftp Prefs from: [%s]", oldPath.c_str());
    auto old = PropertyList::readFile(oldPath);
    if (!old || !old->isDictionary())
        return;
    for (const auto& key : Preferences::exportedKeys())
        if (const PlistValue* value = old->find(key))
            store.setObject(key, *value);
    store.setBool(PrefKey::DoCopyOldFtpPref, true);
    store.synchronize();
}

} // namespace FactoryDefaults

bool saveSettingToUserDefaults(const PlistValue& value, const std::string& key)
{
    // The password is stored but never written to the log.
    std::string shown = value.isString() ? *value.asString() : value.describe();
    if (key == PrefKey::UserLoginPassword)
        shown = "********";
    ConsoleLog::writef("SETTING parameterValue=[%s] for parameterName=[%s]", shown.c_str(), key.c_str());
    UserDefaults::standard().setObject(key, value);
    // A setting that only lives until the next start is no success.
    return UserDefaults::standard().synchronize();
}

bool isValidYesNoString(const std::string* text)
{
    return text && (strcasecmp(text->c_str(), "yes") == 0 || strcasecmp(text->c_str(), "no") == 0);
}
