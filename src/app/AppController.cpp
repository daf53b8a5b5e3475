#include "app/AppController.h"

#include "app/Notifications.h"
#include "app/ProcessFlags.h"
#include "app/ScanRequestInfo.h"
#include "filing/ResultFiling.h"
#include "filing/ZVI_FileManager.h"
#include "hires/OrderCheck.h"
#include "housekeeping/MessageLog.h"
#include "housekeeping/OldPhotoCleanup.h"
#include "housekeeping/ZVLogFileManager.h"
#include "platform/AppPaths.h"
#include "platform/ConsoleLog.h"
#include "platform/FileUtil.h"
#include "platform/MainThread.h"
#include "platform/NumberText.h"
#include "platform/TextUtil.h"
#include "platform/UserDefaults.h"
#include "prefs/FactoryDefaults.h"
#include "prefs/PreferenceKeys.h"
#include "prefs/Preferences.h"
#include "remote/AppleEventHandler.h"
#include "remote/CommandSocketServer.h"
#include "scan/ScanPass.h"
#include "scan/ScanWakeup.h"
#include "scan/UploadItemInfo.h"
#include "upload/HttpController.h"
#include "util/Relaunch.h"
#include "util/ShellScript.h"

#include <QCoreApplication>
#include <QUrl>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <strings.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <thread>

#ifndef QUON_VERSION
#define QUON_VERSION "0.0.0"
#endif

namespace {

// What the application package would carry as its information entries.
constexpr const char* kBundleShortVersion = QUON_VERSION;
constexpr const char* kBundleDisplayName = "quon-uploader";
constexpr const char* kBuiltInCopyright = "quon-uploader, copyright 2026 the Quon uploader team. All rights reserved.";

// Used until the store holds a login.
constexpr const char* kPlaceholderUserName = "station";
constexpr const char* kPlaceholderPassword = "letmein";

constexpr const char* kMinimumKernel = "2.6.13";

constexpr const char* kSupportAddress = "support@quon-uploader.invalid";

std::string siteDomain()
{
    auto url = Preferences::getPrefOrvURL();
    if (!url)
        return {};
    return QUrl(QString::fromStdString(*url)).host().toStdString();
}

} // namespace

AppController::AppController(StatusPresenter& presenter, NotificationCenter& center)
    : fPresenter(presenter), fCenter(center),
      fScanWakeup(std::make_unique<ScanWakeup>([this] { startDetachedThread("rescan request", [this] { openFileOnMainThread(); }); }))
{
}

AppController::~AppController()
{
    fCenter.removeObserver(this);
    cancelRetriggerTimer();
    if (fCommandSocket)
        fCommandSocket->stop();
    fFolderWatcher->stop(); // its thread is one of the workers waited for next
    waitForWorkerThreads(15000);
}

// ---------------------------------------------------------------- start-up

void AppController::initialize()
{
    FactoryDefaults::setupFactoryDefaults();
    if (Preferences::getDoRedirectNSLog())
        ZVLogFileManager::setupLogFile();
    else
        ConsoleLog::write("Redirecting the console log into the daily log file is OFF (prefDoRedirectNSLog)");
    ZVLogFileManager::deleteOldLogs();
}

void AppController::awakeFromNib()
{
    logInside(className(), "awakeFromNib");
    fUserRequired = false;
    fWatcherRunLoop = nullptr;
    registerForNotifications();
    checkOSVersion();
    _appCopyrightString = kBuiltInCopyright;
    _appVersionString = *kBundleShortVersion ? kBundleShortVersion : "Unknown CFBundleShortVersionString";
    FactoryDefaults::migrateOldUploaderPreferences(AppPaths::oldUploaderPreferencesPath());

    const auto fuseAction = Preferences::getOrvFuseAction();
    fPresenter.showCodeFieldInsteadOfPassword(fuseAction && strcasecmp(fuseAction->c_str(), "upload.wr5") == 0);
}

void AppController::registerForNotifications()
{
    auto on = [this](const char* name, void (AppController::*handler)(const Notification&)) {
        fCenter.addObserver(this, name, [this, handler](const Notification& note) { (this->*handler)(note); });
    };
    on(cNotification_ScanFolder, &AppController::handleNotification_ScanFolder);
    on(cNotification_PrepareUploadStart, &AppController::handleNotification_PrepareUploadStart);
    on(cNotification_UploadStart, &AppController::handleNotification_UploadStart);
    on(cNotification_UploadDone, &AppController::handleNotification_UploadDone);
    on(cNotification_UploadSuccess, &AppController::handleNotification_UploadSuccess);
    on(cNotification_UploadFail, &AppController::handleNotification_UploadFail);
    on(cNotification_CleanUpAfterUpload, &AppController::handleNotification_CleanUpAfterUpload);
    on(cNotification_CleanUpAfterCompleteLoop, &AppController::handleNotification_CleanUpAfterCompleteLoop);
    on(cNotification_WatcherStarted, &AppController::handleNotification_WatcherStarted);
    on(cNotification_WatcherItemChanged, &AppController::handleNotification_WatcherItemChanged);
    on(cNotification_UploadProcessPaused, &AppController::handleNotification_UploadProcessPaused);
}

bool AppController::kernelSupportsFolderEvents(const std::string& release)
{
    // Compare the dotted numbers one by one: 2.6.9 < 2.6.13 < 3.0 < 6.1.0-27-amd64.
    auto parts = [](const std::string& text) {
        std::vector<long> out;
        size_t i = 0;
        while (out.size() < 3 && i < text.size() && text[i] >= '0' && text[i] <= '9') {
            long value = 0;
            while (i < text.size() && text[i] >= '0' && text[i] <= '9')
                value = value * 10 + (text[i++] - '0');
            out.push_back(value);
            if (i < text.size() && text[i] == '.')
                ++i;
            else
                break;
        }
        out.resize(3, 0);
        return out;
    };
    const std::string cleaned = TextUtil::trimmed(release);
    if (cleaned.empty() || cleaned[0] < '0' || cleaned[0] > '9')
        return false;
    return parts(cleaned) >= parts(kMinimumKernel);
}

void AppController::checkOSVersion()
{
    utsname names{};
    if (::uname(&names) == 0) {
        unsigned major = 0, minor = 0, patch = 0;
        std::sscanf(names.release, "%u.%u.%u", &major, &minor, &patch);
        ConsoleLog::writef("Gestalt(gestaltSystemVersion) returned: %x", (major << 16) | ((minor & 0xff) << 8) | (patch & 0xff));
    }
    const auto output = runShellScript2("/bin/uname", std::vector<std::string>{"-r"});
    const std::string release = output ? TextUtil::trimmed(*output) : std::string();
    if (release.empty()) {
        ConsoleLog::write("runShellScript2 failed to get Mac OS version???");
        return;
    }
    ConsoleLog::writef("Got from runShellScript2: [%s]", release.c_str());
    _macVersionString = "v" + release;
    _isRunningLeopard = kernelSupportsFolderEvents(release);
    if (!_isRunningLeopard) {
        fPresenter.showAlert("Sorry - Unsupported Mac OS Version:",
                             stringWithFormat("Your OS Version is: [%s]\nMinimum Requirement: [v%s]",
                                              _macVersionString.c_str(), kMinimumKernel),
                             "OK");
        terminate(this);
    }
    fPresenter.updateTextField(StatusPresenter::Field::MacOSVersion, "Mac OS: " + _macVersionString, false);
}

bool AppController::fillInVersionString(int tag)
{
    const std::string version = _appVersionString.empty() ? "Unknown CFBundleShortVersionString" : _appVersionString;
    const std::string text = (tag == 888 ? "App Vers: " : "Version: ") + version;
    fPresenter.updateTextField(StatusPresenter::Field::Version, text, false);
    ConsoleLog::write(text);
    MessageLog::LogMessage(stringWithFormat("%s Version is [%s]", kBundleDisplayName, version.c_str()));
    return true;
}

void AppController::applicationWillFinishLaunching()
{
    MessageLog::InitLog();
    MessageLog::LogMessage("applicationWillFinishLaunching");
    {
        std::lock_guard lock(fLoginMutex);
        fCurUserName = kPlaceholderUserName;
        fCurPassword = kPlaceholderPassword;
        fRootFolder.clear();
    }
    cancelRetriggerTimer();

    fillInVersionString(0);
    fPresenter.updateTextField(StatusPresenter::Field::Copyright, _appCopyrightString, false);
    ConsoleLog::write(_appCopyrightString);
    MessageLog::LogMessage(stringWithFormat("Copyright Info is [%s]", _appCopyrightString.c_str()));

    if (fPresenter.hasLoginPanel())
        ibClickedOnOpenPref(nullptr);

    fPresenter.setToolTip(StatusPresenter::Field::SourceFolderPath, Preferences::getLocalSourceUploadFolder().value_or(""));
    fPresenter.setToolTip(StatusPresenter::Field::UploadMainPath, Preferences::getLocalMasterMirrorSiteFolder().value_or(""));

    // Remote control.
    fAppleEventHandler = std::make_unique<AppleEventHandler>();
    if (fAppleEventHandler->setupForAppleEventsForThisApp(this)) {
        fCommandSocket = std::make_unique<CommandSocketServer>(*fAppleEventHandler);
        std::string error;
        const std::string path = fCommandSocketPath.empty() ? AppPaths::defaultSocketPath() : fCommandSocketPath;
        if (!fCommandSocket->start(path, &error)) {
            ConsoleLog::writef("UNABLE setupForAppleEventsForThisApp: %s", error.c_str());
            fPresenter.updateTextField(StatusPresenter::Field::ProcessLine,
                                       "Remote control is off: " + error, true);
            fCommandSocket.reset();
        }
    }

    const std::string source = Preferences::getLocalSourceUploadFolder().value_or("");
    ZVI_FileManager::deleteOLDFolderIfEmpty(source, false, 3);
    ZVI_FileManager::deleteOLDFolderIfEmpty(source, false, 3);

    startDetachedThread("cleanup", [] { OldPhotoCleanup::doSetupDeleteOldPhotosThread(); });
    startDetachedThread("order check", [] { OrderCheck::doQueryAndUploadHiResProcess(); });

    fHttpController = std::make_unique<HttpController>(fCenter);
    fHttpController->setProgressDelegate(this);

    fThreadLockOwner = std::make_unique<std::recursive_mutex>();
    fThreadLock = fThreadLockOwner.get();
}

void AppController::applicationDidFinishLaunching()
{
    MessageLog::LogMessage("applicationDidFinishLaunching");
    if (Preferences::getAutoStartUploadAtStartup()) {
        ConsoleLog::write("Will autoResynchronizeAtStartup is TRUE...");
        const int seconds = Preferences::getPrefShowWindowAtStartup() ? 30 : 10;
        fStartTimer = new QTimer(this);
        fStartTimer->setSingleShot(true);
        connect(fStartTimer, &QTimer::timeout, this, [this] { ibUserClickedOnSynchronize(this); });
        fStartTimer->start(seconds * 1000);
    } else {
        ConsoleLog::write("Will autoResynchronizeAtStartup is FALSE...");
    }
}

// ---------------------------------------------------------------- shutdown

bool AppController::applicationShouldTerminate(const void*)
{
    MessageLog::LogMessage("applicationShouldTerminate\n");
    ConsoleLog::writef("%s => TerminateResponse is [%s]", "applicationShouldTerminate:", "NSTerminateNow");
    return true;
}

void AppController::applicationWillTerminate()
{
    if (gStartedUploadProcess) {
        ConsoleLog::write("Telling Thread to Stop - as soon as possible");
        setWantsToHaltProcess(true);
    }
    if (Preferences::getPrefDeleteEmptyFtpFolders())
        ZVI_FileManager::ibDeleteLocalFtpFolderIfEmpty();
    if (fCommandSocket)
        fCommandSocket->stop();
    MessageLog::LogMessage("applicationWillTerminate - DONE!");
    ConsoleLog::writef("%s - DONE!", "applicationWillTerminate:");
    MessageLog::CloseLog();
}

void AppController::terminate(const void* sender)
{
    // Queued, so a reply being written and a start-up step in progress finish first.
    QMetaObject::invokeMethod(this, [this, sender] {
        if (fTerminating)
            return;
        if (!applicationShouldTerminate(sender))
            return;
        fTerminating = true;
        applicationWillTerminate();
        if (fTerminateHandler)
            fTerminateHandler();
        else
            QCoreApplication::exit(0);
    }, Qt::QueuedConnection);
}

void AppController::ibClickedOnQuit(const void* sender)
{
    MessageLog::LogMessage("ibClickedOnQuit\n");
    if (fPresenter.hasLoginPanel())
        fPresenter.closeLoginPanel();
    terminate(sender);
}

void AppController::relaunchApp(const RelaunchRequest& param)
{
    ConsoleLog::writef("Inside %s => %s...param = [%s]", className(), "relaunchApp:", param.describe().c_str());
    relaunch(param, [this](const void* sender) { terminate(sender); });
}

bool AppController::isApplicationActive() const
{
    // Without a window system the core knows only whether the status window shows.
    return fPresenter.isStatusWindowVisible();
}

// ---------------------------------------------------------------- process flags

template <typename F>
void AppController::withThreadLock(F&& f)
{
    // Before the lock exists (early start-up threads) the flags are written unguarded.
    if (std::recursive_mutex* lock = fThreadLock.load()) {
        std::lock_guard guard(*lock);
        f();
    } else {
        f();
    }
}

void AppController::setStartedUploadProcess(bool value) { withThreadLock([&] { gStartedUploadProcess = value; }); }
void AppController::setIsScanningFolder(bool value) { withThreadLock([&] { gIsScanning = value; }); }
void AppController::setIsInsideOpenFile(bool value) { withThreadLock([&] { gInsideOpenFile = value; }); }
void AppController::setIsInsideWatchFolderThread(bool value) { withThreadLock([&] { gIsInWatchFolderInstaller = value; }); }
void AppController::setWantsToHaltProcess(bool value) { withThreadLock([&] { gWantsToHaltProcess = value; }); }
void AppController::setDidHaltProcess(bool value) { withThreadLock([&] { gDidHaltProcess = value; }); }

void AppController::setNeedsToRescan(int value)
{
    withThreadLock([&] {
        if (value == 1)
            gNeedsToRescan.fetch_add(1);
        else
            gNeedsToRescan = 0;
    });
}

bool AppController::beginScanningFolder()
{
    bool began = false;
    withThreadLock([&] {
        bool expected = false;
        if (gIsScanning.compare_exchange_strong(expected, true)) {
            gNeedsToRescan = 0;
            began = true;
        } else {
            gNeedsToRescan.fetch_add(1);
        }
    });
    return began;
}

// ---------------------------------------------------------------- threads

void AppController::startDetachedThread(const char* name, std::function<void()> fn)
{
    fLiveThreads.fetch_add(1);
    try {
        std::thread([this, fn = std::move(fn)] {
            fn();
            fLiveThreads.fetch_sub(1);
        }).detach();
    } catch (const std::system_error& e) {
        fLiveThreads.fetch_sub(1);
        ConsoleLog::writef("UNABLE to start the %s thread: %s", name, e.what());
    }
}

bool AppController::waitForWorkerThreads(int milliseconds)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (fLiveThreads.load() > 0) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void AppController::openFileOnMainThread()
{
    while (gInsideOpenFile) {
        ConsoleLog::writef("Inside %s => %s... Need to Wait for OpenFile to be Free...", className(), "openFileOnMainThread:");
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    application_openFile(Preferences::getLocalSourceUploadFolder().value_or(""));
}

void AppController::doWaitForUploadProcessToEndInThread(const void* sender)
{
    while (!gDidHaltProcess) {
        ConsoleLog::write("gDidHaltProcess is STILL NO????");
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    struct SenderInfo : NotificationInfo {
        const void* sender = nullptr;
    };
    auto info = std::make_shared<SenderInfo>();
    info->sender = sender;
    fCenter.post(cNotification_UploadProcessPaused, this, info);
    ConsoleLog::writef("Inside %s => %s   POSTED cNotification_UploadProcessPaused...", className(),
                       "doWaitForUploadProcessToEndInThread:");
}

void AppController::forceProcessToPause(const void*)
{
    ConsoleLog::write("\n\n\n\n\n forceProcessToPause \n\n\n\n");
    if (gStartedUploadProcess && !gDidHaltProcess)
        setWantsToHaltProcess(true);
}

// ---------------------------------------------------------------- notification handlers

void AppController::handleNotification_ScanFolder(const Notification& note)
{
    logInside(className(), "handleNotification_ScanFolder:");
    startDetachedThread("scan", [this, note] { scanFolderOnMainThread(note); });
}

void AppController::scanFolderOnMainThread(const Notification& note)
{
    ScanPass(*this).run(note);
}

void AppController::doWatchFolderInThread(const std::string& folder)
{
    const char* op = "doWatchFolderInThread:";
    ConsoleLog::writef("Inside THREAD *********** %s => %s...", className(), op);
    // Tested and set in one step: two empty passes ending together must not both install a watcher.
    bool alreadyInside = false;
    withThreadLock([&] {
        alreadyInside = gIsInWatchFolderInstaller;
        if (!alreadyInside)
            setIsInsideWatchFolderThread(true);
    });
    if (alreadyInside) {
        ConsoleLog::write("ALREADY inside doWatchFolderInThread     EXITING THREAD...\n\n");
        return;
    }
    bool runLoopSet = false;
    withThreadLock([&] { runLoopSet = fWatcherRunLoop != nullptr; });
    if (runLoopSet) {
        ConsoleLog::write("Returning.... fWatcherRunLoop ALREADY Setup....    EXITING THREAD...\n");
        return;
    }
    ConsoleLog::writef("Inside %s => %s  Trying to setup fWatcherRunLoop...", className(), op);
    if (folder.empty()) {
        ConsoleLog::writef("Passed NO Info to %s => %s...", className(), op);
        return;
    }
    if (!_isRunningLeopard) {
        MessageLog::LogMessage("====================================================");
        MessageLog::LogMessage("FSEvents NOT supported on 10.4.x and lower...");
        MessageLog::LogMessage("Will NOT Be Able to Watch for Folder in real time...");
        MessageLog::LogMessage("====================================================");
        return;
    }
    const bool installed = fFolderWatcher->doInstallTheWatcher(
        folder, [this](const std::string& problem) { ibUpdateFTPCallbackStatusTextField(problem, true); });
    withThreadLock([&] { fWatcherRunLoop = nullptr; }); // that loop has ended
    if (!installed)
        setIsInsideWatchFolderThread(false); // nothing runs, so a later empty pass may try again
    ConsoleLog::write("Done outside doInstallTheWatcher...");
}

void AppController::handleNotification_PrepareUploadStart(const Notification& note)
{
    logInside(className(), "handleNotification_PrepareUploadStart:");
    if (gStartedUploadProcess) {
        ConsoleLog::writef("Inside %s => %s... => An Upload Process Already in Progress...", className(),
                           "handleNotification_PrepareUploadStart:");
        return;
    }
    fCenter.post(cNotification_UploadStart, this, note.userInfo);
}

void AppController::handleNotification_UploadStart(const Notification& note)
{
    logInside(className(), "handleNotification_UploadStart:");
    setStartedUploadProcess(true);
    auto item = note.info<UploadItemInfo>();
    if (item)
        ibUpdateFileNameField(item->localItem);
    else
        ConsoleLog::write("handleNotification_UploadStart got bad itemToMove = nil...");
    ibUpdateUploadStatusTextField("Uploading...");
    ibUpdateProgressBar("YES");
    if (item && Preferences::getPrefShowPreviewWhenUploading())
        MainThread::perform(this, [this, path = item->edFileName] { fPresenter.showPreview(path); });
}

void AppController::handleNotification_UploadDone(const Notification&)
{
    logInside(className(), "handleNotification_UploadDone:");
    ibUpdateProgressBar("NO");
    if (gWantsToHaltProcess)
        completeRequestedPause();
    else
        ConsoleLog::writef("Inside %s => %s    gDidHaltProcess already set to [%i]...", className(),
                           "handleNotification_UploadDone:", gDidHaltProcess ? 1 : 0);
}

void AppController::completeRequestedPause()
{
    if (!gWantsToHaltProcess || gDidHaltProcess)
        return;
    setDidHaltProcess(true);
    setPauseResumeButton(std::string("Resume"), true);
}

void AppController::sendMailCocoa()
{
    const std::string link = std::string("mailto:") + kSupportAddress +
                             "?subject=System%20Has%20A%20Problem!!&body=NEED%20Tech%20Support!!!!";
    std::string error;
    if (!startDetachedProgram("/usr/bin/xdg-open", {link}, &error))
        ConsoleLog::writef("Could not open the mail program for %s: %s", link.c_str(), error.c_str());
}

void AppController::handleNotification_UploadSuccess(const Notification& note)
{
    ResultFiling(*this).handleNotification_UploadSuccess(note);
}

void AppController::handleNotification_UploadFail(const Notification& note)
{
    ResultFiling(*this).handleNotification_UploadFail(note);
}

void AppController::handleNotification_CleanUpAfterUpload(const Notification& note)
{
    logInside(className(), "handleNotification_CleanUpAfterUpload:");
    if (note.userInfo)
        note.userInfo->clear();
    setStartedUploadProcess(false);
    if (gDidHaltProcess) {
        ConsoleLog::write("\n\n\n                   Process was HALTED....\n\n\n");
        ibUpdateFTPCallbackStatusTextField("Process Paused...");
    } else {
        startDetachedThread("rescan request", [this] { openFileOnMainThread(); });
    }
}

void AppController::handleNotification_CleanUpAfterCompleteLoop(const Notification& note)
{
    logInside(className(), "handleNotification_CleanUpAfterCompleteLoop:");
    if (note.userInfo)
        note.userInfo->clear();
    else
        ConsoleLog::writef("Unknown Class Type Found: [%s] with the info:\n", note.name.c_str());
    setStartedUploadProcess(false);
}

void AppController::handleNotification_WatcherStarted(const Notification& note)
{
    logInside(className(), "handleNotification_WatcherStarted:");
    withThreadLock([&] {
        if (auto info = note.info<FolderWatcher::StartedInfo>()) {
            ConsoleLog::writef("SET fWatcherRunLoop to: %p", info->CFRunLoopRef);
            fWatcherRunLoop = info->CFRunLoopRef;
        } else {
            ConsoleLog::write("Unable to SET fWatcherRunLoop???");
        }
    });
}

void AppController::handleNotification_WatcherItemChanged(const Notification&)
{
    logInside(className(), "handleNotification_WatcherItemChanged:");
    startDetachedThread("rescan request", [this] { openFileOnMainThread(); });
}

void AppController::handleNotification_UploadProcessPaused(const Notification&)
{
    logInside(className(), "handleNotification_UploadProcessPaused:");
    MainThread::perform(this, [this] { doHandleOpenPrefPanel(nullptr); });
}

// ---------------------------------------------------------------- scan requests

bool AppController::application_openFile(const std::string& path)
{
    const char* op = "application:openFile:";
    if (gInsideOpenFile) {
        ConsoleLog::writef("Inside %s => %s...  Another Instance is ALREADY RUNNING....", className(), op);
        return true;
    }
    if (path.empty() || !FileUtil::exists(path)) {
        ConsoleLog::writef("Inside %s => %s...  Source Path/Item Does NOT Exist = [%s]....", className(), op, path.c_str());
        return true;
    }
    setIsInsideOpenFile(true);
    if (gStartedUploadProcess) {
        setIsInsideOpenFile(false);
        ConsoleLog::writef("Inside %s => %s...  An UPLOAD Process Is Still In Progress....", className(), op);
        return false;
    }
    if (!validateUserInfoBeforeUploading(path)) {
        setIsInsideOpenFile(false);
        return false;
    }
    cancelRetriggerTimerOnMainThread();
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
    fCenter.post(cNotification_ScanFolder, this, request);

    MainThread::perform(this, [this, userName, path] {
        if (!fPresenter.isStatusWindowVisible())
            fPresenter.bringStatusWindowToFront();
        fPresenter.updateTextField(StatusPresenter::Field::LoginName, userName + " @ " + siteDomain(), false);
        fPresenter.updateTextField(StatusPresenter::Field::UploadMainPath, path + "/", false);
        fPresenter.updateTextField(StatusPresenter::Field::SourceFolderPath, path, false);
        fPresenter.setToolTip(StatusPresenter::Field::SourceFolderPath, path);
    });
    setIsInsideOpenFile(false);
    return true;
}

bool AppController::validateUserInfoBeforeUploading(const std::optional<std::string>& sourceFolder)
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
    checkFolder(Preferences::getLocalMasterMirrorSiteFolder(), "The Local Master Mirror Folder (prefLocalMasterMirrorSiteFolder)",
                "Local Master Mirror Folder Has NOT Been Selected Yet...",
                "Local Master Mirror Folder is NOT a Valid FOLDER: [%s]");
    checkFolder(sourceFolder ? sourceFolder : Preferences::getLocalSourceUploadFolder(),
                "The Local Source Upload Folder (prefLocalSourceUploadFolder)",
                "Local Source Upload Folder Has NOT Been Selected Yet...",
                "Local Source Upload Folder is NOT a Valid FOLDER: [%s]");
    if (errors == 0) {
        getUserEnteredEventName();
        std::optional<std::string> eventName;
        {
            std::lock_guard lock(fLoginMutex);
            eventName = fCurEventName;
        }
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
        beep();
        ibUpdateFTPCallbackStatusTextField("Cannot start uploading: " + firstProblem, true);
    }
    return errors == 0;
}

void AppController::getUserEnteredEventName()
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

void AppController::getCurrentLoginInfo()
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

bool AppController::saveLoginInfo()
{
    if (!validateUserInfoBeforeUploading(std::nullopt)) {
        beep();
        return false;
    }
    ConsoleLog::write("Inside saveLoginInfo");
    getCurrentLoginInfo();
    if (fPresenter.hasLoginPanel())
        fPresenter.closeLoginPanel();
    return true;
}

std::optional<std::string> AppController::currentEventName() const
{
    std::lock_guard lock(fLoginMutex);
    return fCurEventName;
}

std::string AppController::currentUserName() const
{
    std::lock_guard lock(fLoginMutex);
    return fCurUserName;
}

std::string AppController::currentPassword() const
{
    std::lock_guard lock(fLoginMutex);
    return fCurPassword;
}

std::string AppController::rootFolder() const
{
    std::lock_guard lock(fLoginMutex);
    return fRootFolder;
}

// ---------------------------------------------------------------- operator controls

void AppController::ibMenuCmd_Open(const void* sender)
{
    ConsoleLog::write("ibMenuCmd_Open");
    ibUserClickedOnSynchronize(sender);
}

void AppController::ibUserClickedOnSynchronize(const void*)
{
    ConsoleLog::write("ibUserClickedOnSynchronize...");
    if (gStartedUploadProcess) {
        ConsoleLog::write("ibUserClickedOnSynchronize - an upload process in progress...");
        beep();
        beep();
        return;
    }
    if (!validateUserInfoBeforeUploading(std::nullopt))
        return;
    if (!saveLoginInfo())
        return;
    const std::string mirror = Preferences::getLocalMasterMirrorSiteFolder().value_or("");
    if (!mirror.empty() && !FileUtil::exists(mirror)) {
        const std::string line = "Local Mirror Folder Does NOT Exist:\n" + mirror;
        ConsoleLog::writeRaw(line + "\n");
        MessageLog::LogMessage(line);
        MessageLog::LogMessage("Trying to Create Local Mirror Folder at:\n" + mirror);
        ::mkdir(mirror.c_str(), 0755);
    }
    application_openFile(Preferences::getLocalSourceUploadFolder().value_or(""));
}

void AppController::ibClickedOnSynchronizeAgain(const void*)
{
    if (gStartedUploadProcess && gDidHaltProcess) {
        ibClickedOnHalt(nullptr);
    } else if (gStartedUploadProcess) {
        ConsoleLog::write("ibClickedOnSynchronizeAgain - an upload process in progress...");
    } else {
        ibUserClickedOnSynchronize(this);
    }
}

void AppController::ibClickedOnHalt(const void* sender)
{
    MessageLog::LogMessage("ibClickedOnHalt\n");
    if (!sender)
        MessageLog::LogMessage("ibClickedOnHalt sender is NIL\n");
    if (gDidHaltProcess) {
        ConsoleLog::write("ibClickedOnHalt gDidHaltProcess is TRUE:\n\n");
        setWantsToHaltProcess(false);
        setDidHaltProcess(false);
        setPauseResumeButton(std::string("Pause"), std::nullopt);
        ibUpdateFTPCallbackStatusTextField("");
        application_openFile(Preferences::getLocalSourceUploadFolder().value_or(""));
        return;
    }
    ConsoleLog::write("ibClickedOnHalt gDidHaltProcess is FALSE:\n\n");
    if (gStartedUploadProcess) {
        setWantsToHaltProcess(true);
        setPauseResumeButton(std::nullopt, false);
        ibUpdateFTPCallbackStatusTextField("Pausing... Waiting for Current Item to Finish...");
    } else {
        setWantsToHaltProcess(true);
        setDidHaltProcess(true);
        setPauseResumeButton(std::string("Resume"), std::nullopt);
        ibUpdateFTPCallbackStatusTextField("Process Paused...");
    }
}

void AppController::doHandlePauseResumeButtonAsResume(const void*)
{
    if (!gDidHaltProcess)
        return;
    ConsoleLog::write("doHandlePauseResumeButtonAsResume gDidHaltProcess is TRUE:\n\n");
    setWantsToHaltProcess(false);
    setDidHaltProcess(false);
    setPauseResumeButton(std::string("Pause"), true);
    application_openFile(Preferences::getLocalSourceUploadFolder().value_or(""));
}

void AppController::ibClickedOnOpenPref(const void* sender)
{
    if (fPresenter.isStatusWindowVisible() && gStartedUploadProcess) {
        ibUpdateFTPCallbackStatusTextField("Will Open Pref Panel After Current Item is Finished...");
        fPresenter.setOpenPrefButtonEnabled(false);
        forceProcessToPause(sender);
        startDetachedThread("pause wait", [this, sender] { doWaitForUploadProcessToEndInThread(sender); });
        return;
    }
    doHandleOpenPrefPanel(sender);
}

void AppController::doHandleOpenPrefPanel(const void*)
{
    cancelRetriggerTimer();
    fPresenter.setOpenPrefButtonEnabled(true);
    fPresenter.openPreferencePanel();
}

void AppController::requestScanAfter(std::chrono::steady_clock::duration delay)
{
    if (fScanWakeup)
        fScanWakeup->wakeAfter(delay);
}

std::optional<std::chrono::steady_clock::time_point> AppController::nextScanWakeup() const
{
    return fScanWakeup ? fScanWakeup->nextWake() : std::nullopt;
}

// ---------------------------------------------------------------- the rescan timer

void AppController::doSetupRetriggerTimerOnMainThread()
{
    logInside(className(), "doSetupRetriggerTimerOnMainThread");
    MainThread::perform(this, [this] { doSetupRetriggerTimer(); });
}

void AppController::doSetupRetriggerTimer()
{
    if (!Preferences::getDoAutoSynchronize()) {
        ConsoleLog::writef("Done %s => %s... [self getDoAutoSynchronize] = NO...", className(), "doSetupRetriggerTimer:");
        return;
    }
    cancelRetriggerTimer();
    double seconds = 120;
    if (auto value = Preferences::getPrefSecondsBetweenScans())
        seconds = UserDefaults::doubleValue(*value);
    else
        ConsoleLog::write("Failed to get NSNumber for intervalInSecs");
    // An interval of zero or less would rescan an empty folder without pause;
    // one over a week would overflow the timer.
    const double clamped = std::clamp(seconds, 1.0, 604800.0);
    fRepeatTimer = new QTimer(this);
    fRepeatTimer->setSingleShot(true);
    connect(fRepeatTimer, &QTimer::timeout, this, [this] { doAutoResynchronize(); });
    fRepeatTimer->start(static_cast<int>(clamped * 1000));

    std::string text = "Next Auto-Synchronize Trigger Date = " + formatTriggerDate(clamped) + "...";
    if (!_isRunningLeopard)
        text += "\n(This would Not be needed if running on Mac OS 10.5 or higer)";
    ConsoleLog::writef("Setting up Timer => %s", text.c_str());
    ibUpdateFTPCallbackStatusTextField(text);
    ConsoleLog::writef("Done with %s => %s...", className(), "doSetupRetriggerTimer:");
}

std::string AppController::formatTriggerDate(double secondsFromNow)
{
    const std::time_t when = std::time(nullptr) + static_cast<std::time_t>(secondsFromNow);
    std::tm local{};
    localtime_r(&when, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

void AppController::cancelRetriggerTimerOnMainThread()
{
    logInside(className(), "cancelRetriggerTimerOnMainThread");
    MainThread::perform(this, [this] { cancelRetriggerTimer(); });
}

void AppController::cancelRetriggerTimer()
{
    if (fRepeatTimer) {
        fRepeatTimer->stop();
        fRepeatTimer->deleteLater();
    }
    fRepeatTimer = nullptr;
}

void AppController::doAutoResynchronize()
{
    if (fRepeatTimer) {
        fRepeatTimer->deleteLater();
        fRepeatTimer = nullptr;
    }
    if (gStartedUploadProcess) {
        ConsoleLog::write("Inside doAutoResynchronize - a process already in session???");
        return;
    }
    if (!Preferences::getDoAutoSynchronize()) {
        ConsoleLog::writef("Inside %s => %s...  NO Need to autoResynchronize", className(), "doAutoResynchronize:");
        return;
    }
    ConsoleLog::writef("Inside %s => %s...  Okay to start upload process again...", className(), "doAutoResynchronize:");
    ibClickedOnSynchronizeAgain(this);
}

// ---------------------------------------------------------------- status updates

void AppController::ibUpdateTextField(StatusPresenter::Field field, const std::string& text, bool isError)
{
    MainThread::perform(this, [this, field, text, isError] {
        if (fPresenter.isStatusWindowVisible())
            fPresenter.updateTextField(field, text, isError);
    });
}

void AppController::ibUpdateFTPCallbackStatusTextField(const std::string& text, bool isError)
{
    ibUpdateTextField(StatusPresenter::Field::ProcessLine, text, isError);
}

void AppController::ibUpdateUploadStatusTextField(const std::string& text)
{
    ibUpdateTextField(StatusPresenter::Field::UploadStatus, text);
}

void AppController::ibUpdateFileNameField(const std::string& text)
{
    ibUpdateTextField(StatusPresenter::Field::FileName, text);
}

void AppController::ibUpdateProgressBar(const std::string& yesOrNo)
{
    const bool running = strcasecmp(yesOrNo.c_str(), "YES") == 0;
    MainThread::perform(this, [this, running] { fPresenter.updateProgressBar(running); });
}

void AppController::setPauseResumeButton(const std::optional<std::string>& title, std::optional<bool> enabled)
{
    MainThread::perform(this, [this, title, enabled] {
        if (title)
            fPresenter.setPauseResumeButtonTitle(*title);
        if (enabled)
            fPresenter.setPauseResumeButtonEnabled(*enabled);
    });
}

void AppController::beep()
{
    MainThread::perform(this, [this] { fPresenter.beep(); });
}
