#include "scan/OpenFileRequest.h"

#include "app/MainThreadPresenter.h"
#include "app/Notifications.h"
#include "app/ProcessFlags.h"
#include "app/ProcessState.h"
#include "app/ScanRequestInfo.h"
#include "app/UploadChainHost.h"
#include "platform/ConsoleLog.h"
#include "platform/FileUtil.h"
#include "platform/NotificationCenter.h"
#include "platform/TextUtil.h"
#include "platform/UserDefaults.h"
#include "prefs/PreferenceKeys.h"
#include "prefs/Preferences.h"

#include <QUrl>
#include <strings.h>

namespace {

// The log names the controller, whose operations these are.
constexpr const char* kClass = "AppController";

std::string siteDomain()
{
    auto url = Preferences::getPrefOrvURL();
    if (!url)
        return {};
    return QUrl(QString::fromStdString(*url)).host().toStdString();
}

} // namespace

bool OpenFileRequest::application_openFile(const std::string& path)
{
    const char* op = "application:openFile:";
    ProcessState& state = fHost.processState();
    if (gInsideOpenFile) {
        ConsoleLog::writef("Inside %s => %s...  Another Instance is ALREADY RUNNING....", kClass, op);
        return true;
    }
    if (path.empty() || !FileUtil::exists(path)) {
        ConsoleLog::writef("Inside %s => %s...  Source Path/Item Does NOT Exist = [%s]....", kClass, op, path.c_str());
        return true;
    }
    state.setIsInsideOpenFile(true);
    if (gStartedUploadProcess) {
        state.setIsInsideOpenFile(false);
        ConsoleLog::writef("Inside %s => %s...  An UPLOAD Process Is Still In Progress....", kClass, op);
        return false;
    }
    if (!validateUserInfoBeforeUploading(path)) {
        state.setIsInsideOpenFile(false);
        return false;
    }
    fHost.cancelRetriggerTimerOnMainThread();
    getCurrentLoginInfo();
    getUserEnteredEventName();
    auto request = std::make_shared<ScanRequestInfo>();
    std::string userName;
    {
        std::lock_guard lock(fLoginMutex);
        fRootFolder = path;
        request->userEnteredEventName = fCurEventName.value_or("");
        userName = fCurUserName;
    }
    request->localRootFolder = path;
    request->localMirrorFolder = Preferences::getLocalMasterMirrorSiteFolder().value_or("");
    fHost.notificationCenter().post(cNotification_ScanFolder, fHost.notificationSender(), request);

    fHost.presenter().perform([userName, path, domain = siteDomain()](StatusPresenter& p) {
        if (!p.isStatusWindowVisible())
            p.bringStatusWindowToFront();
        p.updateTextField(StatusPresenter::Field::LoginName, userName + " @ " + domain, false);
        p.updateTextField(StatusPresenter::Field::UploadMainPath, path + "/", false);
        p.updateTextField(StatusPresenter::Field::SourceFolderPath, path, false);
        p.setToolTip(StatusPresenter::Field::SourceFolderPath, path);
    });
    state.setIsInsideOpenFile(false);
    return true;
}

bool OpenFileRequest::validateUserInfoBeforeUploading(const std::optional<std::string>& sourceFolder)
{
    int errors = 0;
    std::string firstProblem; // shown to the operator, who may never read the log
    auto problem = [&](const std::string& text) {
        ConsoleLog::write(text);
        if (errors++ == 0)
            firstProblem = text;
    };
    auto checkFolder = [&](const std::optional<std::string>& folder, const char* setting, const char* notSelected,
                           const char* notValid) {
        if (!folder || folder->empty()) {
            problem(notSelected);
            return;
        }
        const std::string expanded = FileUtil::expandTilde(*folder);
        // A relative folder would be taken from wherever the program was started.
        if (!Preferences::isFullFolderPath(expanded)) {
            problem(stringWithFormat("%s must be a full path beginning with \"/\" or \"~\", not [%s]", setting,
                                     folder->c_str()));
            return;
        }
        ConsoleLog::writef("Checking for folder: [%s]", expanded.c_str());
        if (!FileUtil::isDirectory(expanded))
            problem(stringWithFormat(notValid, expanded.c_str()));
    };
    checkFolder(Preferences::getLocalMasterMirrorSiteFolder(),
                "The Local Master Mirror Folder (prefLocalMasterMirrorSiteFolder)",
                "Local Master Mirror Folder Has NOT Been Selected Yet...",
                "Local Master Mirror Folder is NOT a Valid FOLDER: [%s]");
    checkFolder(sourceFolder ? sourceFolder : Preferences::getLocalSourceUploadFolder(),
                "The Local Source Upload Folder (prefLocalSourceUploadFolder)",
                "Local Source Upload Folder Has NOT Been Selected Yet...",
                "Local Source Upload Folder is NOT a Valid FOLDER: [%s]");
    if (errors == 0) {
        getUserEnteredEventName();
        const std::optional<std::string> eventName = currentEventName();
        ConsoleLog::writef("fCurEventName = [%s]", eventName ? eventName->c_str() : "(null)");
        if (!eventName)
            problem("fCurEventName is NIL??????");
        else if (eventName->empty())
            problem("fCurEventName is BLANK??????");
        else if (strcasecmp(eventName->c_str(), "turnOnCheckBoxIfUsingThisOption") == 0)
            problem("fCurEventName is turnOnCheckBoxIfUsingThisOption??????");
    }
    getCurrentLoginInfo();
    if (currentPassword().empty())
        problem("fCurPassword is NOT set or Blank??????");
    if (currentUserName().empty())
        problem("fCurUserName is NOT set or Blank??????");
    if (errors != 0) {
        fHost.presenter().beep();
        fHost.presenter().ibUpdateFTPCallbackStatusTextField("Cannot start uploading: " + firstProblem, true);
    }
    return errors == 0;
}

void OpenFileRequest::getUserEnteredEventName()
{
    UserDefaults& store = UserDefaults::standard();
    const auto stored = store.stringForKey(PrefKey::UserEnteredEventName);
    if (stored) {
        const std::string clean = TextUtil::trimmed(*stored);
        if (clean != *stored) {
            ConsoleLog::writef("Needed to Remove Leading and Trailing Spaces - Before [%s]", stored->c_str());
            ConsoleLog::writef("Needed to Remove Leading and Trailing Spaces - After  [%s]", clean.c_str());
            store.setString(PrefKey::UserEnteredEventName, clean);
        }
        std::lock_guard lock(fLoginMutex);
        fCurEventName = clean;
    } else {
        ConsoleLog::write("USER did NOT Enter a Valid Event/Location Name");
    }
    ConsoleLog::writef("Using Event Name = [%s]", currentEventName().value_or("(null)").c_str());
}

void OpenFileRequest::getCurrentLoginInfo()
{
    const auto name = Preferences::getCurUserLoginName();
    const auto password = Preferences::getCurUserLoginPassword();
    if (!name)
        ConsoleLog::writeRaw("Using Factory default for curUserLoginName\n");
    if (!password)
        ConsoleLog::writeRaw("Using Factory default for curUserLoginPassword\n");
    std::lock_guard lock(fLoginMutex);
    if (name)
        fCurUserName = *name;
    if (password)
        fCurPassword = *password;
}

void OpenFileRequest::resetLogin(const std::string& userName, const std::string& password)
{
    std::lock_guard lock(fLoginMutex);
    fCurUserName = userName;
    fCurPassword = password;
    fRootFolder.clear();
}

std::optional<std::string> OpenFileRequest::currentEventName() const
{
    std::lock_guard lock(fLoginMutex);
    return fCurEventName;
}

std::string OpenFileRequest::currentUserName() const
{
    std::lock_guard lock(fLoginMutex);
    return fCurUserName;
}

std::string OpenFileRequest::currentPassword() const
{
    std::lock_guard lock(fLoginMutex);
    return fCurPassword;
}

std::string OpenFileRequest::rootFolder() const
{
    std::lock_guard lock(fLoginMutex);
    return fRootFolder;
}
