#include "prefs/Preferences.h"

#include "platform/ConsoleLog.h"
#include "platform/FileUtil.h"
#include "platform/UserDefaults.h"
#include "prefs/PreferenceKeys.h"

#include <pwd.h>
#include <vector>

namespace {

UserDefaults& store() { return UserDefaults::standard(); }

std::optional<std::string> text(const char* key) { return store().stringForKey(key); }

// A folder setting as the operator may type it: "~" and "~/…" name the home
// folder, "~name/…" that user's. What follows no known user stays as it is.
std::optional<std::string> folder(const char* key)
{
    auto path = text(key);
    if (!path || path->empty() || (*path)[0] != '~')
        return path;
    const size_t slash = path->find('/');
    const std::string user = path->substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
    if (user.empty())
        return FileUtil::expandTilde(*path);
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found || !found->pw_dir)
        return path;
    return std::string(found->pw_dir) + (slash == std::string::npos ? std::string() : path->substr(slash));
}

// A number setting that is NaN or infinite counts as missing, so that the
// reader falls back as it does for an absent one.
std::optional<PlistValue> numberObject(const char* key)
{
    auto value = store().objectForKey(key);
    if (value && UserDefaults::isNotANumber(*value)) {
        ConsoleLog::writef("The setting %s is not a number (%s); using its default", key, value->describe().c_str());
        return std::nullopt;
    }
    return value;
}

bool writeBackBool(const char* key)
{
    const bool value = store().boolForKey(key);
    if (!store().hasValue(key))
        store().setBool(key, value);
    return value;
}

} // namespace

std::optional<std::string> Preferences::getLocalSourceUploadFolder()
{
    return folder(PrefKey::LocalSourceUploadFolder);
}
std::optional<std::string> Preferences::getLocalMasterMirrorSiteFolder()
{
    return folder(PrefKey::LocalMasterMirrorSiteFolder);
}

std::optional<std::string> Preferences::getLocalProblemUploadFolder()
{
    auto mirror = getLocalMasterMirrorSiteFolder();
    if (!mirror || mirror->empty())
        return std::nullopt;
    std::string parent = FileUtil::parentFolder(*mirror);
    if (parent.empty() || parent.back() != '/')
        parent += "/";
    return parent + "Problem Folder";
}

std::optional<std::string> Preferences::getPrefOrvHiResAlternatePath1()
{
    return folder(PrefKey::OrvHiResAlternatePath1);
}
std::optional<std::string> Preferences::getCurUserLoginName() { return text(PrefKey::UserLoginName); }
std::optional<std::string> Preferences::getCurUserLoginPassword() { return text(PrefKey::UserLoginPassword); }
bool Preferences::getUseEventName() { return true; }
bool Preferences::getPrefShowPreviewWhenUploading() { return store().boolForKey(PrefKey::ShowPreviewWhenUploading); }
bool Preferences::getPrefDeleteEmptyFtpFolders() { return writeBackBool(PrefKey::DeleteEmptyFtpFolders); }
bool Preferences::getDoAutoSynchronize() { return writeBackBool(PrefKey::AutoSynchronize); }

std::optional<PlistValue> Preferences::getPrefSecondsBetweenScans()
{
    ConsoleLog::writef("getPrefSecondsBetweenScans returned [%3.3f]",
                       store().floatForKey(PrefKey::SecondsBetweenScans));
    return numberObject(PrefKey::SecondsBetweenScans);
}

bool Preferences::getPrefUseDoDeleteOldPhotos() { return writeBackBool(PrefKey::DoUseDeleteOldPhotos); }

std::optional<PlistValue> Preferences::getPrefDaysOldBeforeDeleting()
{
    ConsoleLog::writef("sPrefDaysOldBeforeDeleting returned [%02i]",
                       static_cast<int>(store().integerForKey(PrefKey::DaysOldBeforeDeleting)));
    // Read as 0 days, a NaN would delete every filed photo: it counts as missing.
    return numberObject(PrefKey::DaysOldBeforeDeleting);
}

bool Preferences::getPrefShowWindowAtStartup() { return writeBackBool(PrefKey::ShowWindowAtStartup); }
bool Preferences::getPrefAutoQuitAndRelaunchPerIteration()
{
    return writeBackBool(PrefKey::AutoQuitAndRelaunchPerIteration);
}
bool Preferences::getPrefDeleteServerItemFirst() { return writeBackBool(PrefKey::DeleteServerItemFirst); }
bool Preferences::getAutoStartUploadAtStartup() { return writeBackBool(PrefKey::AutoStartUploadAtStartup); }
std::optional<std::string> Preferences::getOrvFuseAction() { return text(PrefKey::OrvFuseAction); }
std::optional<std::string> Preferences::getPrefOrvURL() { return text(PrefKey::OrvURL); }
bool Preferences::getPrefDoCheckOrders() { return store().boolForKey(PrefKey::DoCheckOrders); }

std::optional<PlistValue> Preferences::getPrefMinutesForCheckOrders()
{
    ConsoleLog::writef("getPrefMinutesForCheckOrders returned [%3.3f]",
                       store().floatForKey(PrefKey::MinutesForCheckOrders));
    // Not a number here has its own rule (an interval of 10 s): the object
    // stays, and its reading is 0.
    return store().objectForKey(PrefKey::MinutesForCheckOrders);
}

std::optional<std::string> Preferences::getPrefCheckHiResOrderFuseAction()
{
    return text(PrefKey::CheckHiResOrderFuseAction);
}
std::optional<std::string> Preferences::getPrefUploadHiResOrderFuseAction()
{
    return text(PrefKey::UploadHiResOrderFuseAction);
}

int16_t Preferences::getPrefSearchPathMethodTag()
{
    return static_cast<int16_t>(store().integerForKey(PrefKey::SearchPathMethodTag));
}

bool Preferences::getPrefDoUseOrvHiResAlternatePath1()
{
    const int tag = getPrefSearchPathMethodTag();
    return tag == 2 || tag == 3;
}

bool Preferences::getPrefAlwaysSearchOriginalPath()
{
    const int tag = getPrefSearchPathMethodTag();
    return tag == 1 || tag == 3;
}

bool Preferences::getPrefAllowRootVolumeSelections() { return store().boolForKey(PrefKey::AllowRootVolumeSelections); }
std::optional<std::string> Preferences::getPrefMetaData() { return text(PrefKey::MetaData); }
bool Preferences::getPrefFormBaseIdFromFileName() { return store().boolForKey(PrefKey::FormBaseIdFromFileName); }
bool Preferences::getPrefUploadMovie() { return store().boolForKey(PrefKey::UploadMovie); }

int Preferences::getDaysToSaveLogs()
{
    const long long days = store().integerForKey(PrefKey::DaysToSaveLogs);
    int answer = static_cast<int>(days);
    if (days <= 0)
        answer = 14;
    else if (days <= 2)
        answer = 3;
    else if (days > 90)
        answer = 90;
    if (answer != days)
        store().setObject(PrefKey::DaysToSaveLogs, PlistValue::integer(answer));
    ConsoleLog::writef("%s->%s=> value = %i", "Preferences", "getDaysToSaveLogs", answer);
    return answer;
}

float Preferences::getUploadTimeOut()
{
    const float seconds = store().floatForKey(PrefKey::UploadTimeOut);
    return seconds > 0 ? seconds : 500.0f;
}

bool Preferences::getDoRedirectNSLog() { return store().boolForKey(PrefKey::DoRedirectNSLog); }
bool Preferences::getPrefDoContinueAfterFailedUpload()
{
    return store().boolForKey(PrefKey::DoContinueAfterFailedUpload);
}
double Preferences::getPrefDoContinueAfterFailedUploadSecs()
{
    return store().doubleForKey(PrefKey::DoContinueAfterFailedUploadSecs);
}

const std::vector<std::string>& Preferences::exportedKeys()
{
    static const std::vector<std::string> keys = {
        PrefKey::LocalMasterMirrorSiteFolder,
        PrefKey::LocalSourceUploadFolder,
        PrefKey::UserLoginName,
        PrefKey::UserLoginPassword,
        PrefKey::CreateEncapsulatingFolder,
        PrefKey::ShowPreviewWhenUploading,
        PrefKey::DeleteEmptyFtpFolders,
        PrefKey::UseEventName,
        PrefKey::UserEnteredEventName,
        PrefKey::AutoSynchronize,
        PrefKey::SecondsBetweenScans,
        PrefKey::DoUseDeleteOldPhotos,
        PrefKey::DaysOldBeforeDeleting,
        PrefKey::ShowWindowAtStartup,
        PrefKey::AutoQuitAndRelaunchPerIteration,
        PrefKey::DeleteServerItemFirst,
        PrefKey::AutoStartUploadAtStartup,
        PrefKey::DoCopyOldFtpPref,
    };
    return keys;
}
