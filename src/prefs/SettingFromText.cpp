#include "prefs/SettingFromText.h"

#include "prefs/PreferenceKeys.h"

#include <charconv>
#include <cmath>
#include <strings.h>

namespace SettingFromText {

namespace {

std::string kindName(const KnownKey& key)
{
    const std::string least = std::to_string(key.minimum);
    switch (key.kind) {
        case Kind::Boolean: return "true, false, yes or no";
        case Kind::Text: return "any text (empty clears it)";
        case Kind::Path: return "a folder path (empty clears it)";
        case Kind::Number: return "a number of " + least + " or more, like 90 or 2.5";
        case Kind::Integer: return "a whole number of " + least + " or more, like 14";
    }
    return {};
}

bool equalsIgnoringCase(const std::string& text, const char* word) { return strcasecmp(text.c_str(), word) == 0; }

std::optional<bool> booleanFrom(const std::string& text)
{
    if (equalsIgnoringCase(text, "true") || equalsIgnoringCase(text, "yes"))
        return true;
    if (equalsIgnoringCase(text, "false") || equalsIgnoringCase(text, "no"))
        return false;
    return std::nullopt;
}

std::optional<int64_t> integerFrom(const std::string& text)
{
    int64_t value = 0;
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    if (text.empty() || result.ec != std::errc() || result.ptr != end)
        return std::nullopt;
    return value;
}

// Plain decimal notation only: no exponent, no "inf" or "nan".
std::optional<double> decimalFrom(const std::string& text)
{
    double value = 0;
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value, std::chars_format::fixed);
    if (text.empty() || result.ec != std::errc() || result.ptr != end || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::string refusal(const KnownKey& key, const std::string& text)
{
    return "the setting " + std::string(key.name) + " takes " + kindName(key) + ", not \"" + text + "\"";
}

std::string unknownKeyMessage(const std::string& key)
{
    std::string message = "unknown setting \"" + key + "\"";
    for (const KnownKey& known : knownKeys())
        if (strcasecmp(known.name, key.c_str()) == 0) {
            message += " (did you mean " + std::string(known.name) + "?)";
            break;
        }
    message += "; the settings are:";
    for (const KnownKey& known : knownKeys())
        message += "\n  " + std::string(known.name) + "  (" + kindName(known) + ")";
    return message;
}

} // namespace

const std::vector<KnownKey>& knownKeys()
{
    using namespace PrefKey;
    static const std::vector<KnownKey> keys = {
        {LocalSourceUploadFolder, Kind::Path},
        {LocalMasterMirrorSiteFolder, Kind::Path},
        {UserLoginName, Kind::Text},
        {UserLoginPassword, Kind::Text},
        {UserEnteredEventName, Kind::Text},
        {OrvURL, Kind::Text},
        {OrvFuseAction, Kind::Text},
        {AutoStartUploadAtStartup, Kind::Boolean},
        {AutoSynchronize, Kind::Boolean},
        {SecondsBetweenScans, Kind::Number},
        {UploadMovie, Kind::Boolean},
        {UploadTimeOut, Kind::Number},
        {DoContinueAfterFailedUpload, Kind::Boolean},
        {DoContinueAfterFailedUploadSecs, Kind::Number},
        {DoCheckOrders, Kind::Boolean},
        {MinutesForCheckOrders, Kind::Number},
        {CheckHiResOrderFuseAction, Kind::Text},
        {UploadHiResOrderFuseAction, Kind::Text},
        {SearchPathMethodTag, Kind::Integer},
        {OrvHiResAlternatePath1, Kind::Path},
        {DoUseDeleteOldPhotos, Kind::Boolean},
        // Less than a day would delete every filed photo at the next cleanup.
        {DaysOldBeforeDeleting, Kind::Integer, 1},
        {DeleteEmptyFtpFolders, Kind::Boolean},
        {DoRedirectNSLog, Kind::Boolean},
        {DaysToSaveLogs, Kind::Integer},
        {MetaData, Kind::Text},
        {FormBaseIdFromFileName, Kind::Boolean},
        {ShowWindowAtStartup, Kind::Boolean},
        {ShowPreviewWhenUploading, Kind::Boolean},
        {AllowRootVolumeSelections, Kind::Boolean},
        {UseEventName, Kind::Boolean},
        {CreateEncapsulatingFolder, Kind::Boolean},
        {AutoQuitAndRelaunchPerIteration, Kind::Boolean},
        {DeleteServerItemFirst, Kind::Boolean},
        {DoCopyOldFtpPref, Kind::Boolean},
        {IsValidLocalSourceUploadFolder, Kind::Boolean},
        {IsValidLocalMasterMirrorSiteFolder, Kind::Boolean},
        {IsValidOrvHiResAlternatePath1, Kind::Boolean},
    };
    return keys;
}

std::optional<PlistValue> parse(const std::string& key, const std::string& text, std::string* error)
{
    const KnownKey* known = nullptr;
    for (const KnownKey& candidate : knownKeys())
        if (key == candidate.name) {
            known = &candidate;
            break;
        }
    if (!known) {
        if (error)
            *error = unknownKeyMessage(key);
        return std::nullopt;
    }
    std::optional<PlistValue> value;
    switch (known->kind) {
        case Kind::Text:
        case Kind::Path: value = PlistValue::string(text); break;
        case Kind::Boolean:
            if (const auto flag = booleanFrom(text))
                value = PlistValue::boolean(*flag);
            break;
        case Kind::Integer:
            if (const auto whole = integerFrom(text); whole && *whole >= known->minimum)
                value = PlistValue::integer(*whole);
            break;
        case Kind::Number:
            // Intervals and time-outs: a negative one means nothing.
            if (const auto whole = integerFrom(text)) {
                if (*whole >= known->minimum)
                    value = PlistValue::integer(*whole);
            } else if (const auto real = decimalFrom(text); real && *real >= static_cast<double>(known->minimum)) {
                value = PlistValue::real(*real);
            }
            break;
    }
    if (!value && error)
        *error = refusal(*known, text);
    return value;
}

} // namespace SettingFromText
