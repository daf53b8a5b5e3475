#include "app/AppController.h"

#include "app/Notifications.h"
#include "app/ProcessFlags.h"
#include "app/ScanRequestInfo.h"
#include "app/SystemVersion.h"
#include "filing/AcceptanceJournal.h"
#include "filing/ResultFiling.h"
#include "filing/TransportBackoff.h"
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
#include "scan/UploadItemInfo.h"
#include "upload/HttpController.h"
#include "util/Relaunch.h"
#include "util/RestartMarker.h"
#include "util/ShellScript.h"

#include <QCoreApplication>
#include <cstdio>
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

constexpr const char* kSupportAddress = "support@quon-uploader.invalid";

} // namespace

AppController::AppController(StatusPresenter& presenter, NotificationCenter& center)
    : fPresenter(presenter), fCenter(center)
{
    fStationStatus.setNotReadyReport(&fNotReadyReport);
    // Every wait before the service is tried again: the transport back-off
    // and the photos that wait their own pause.
    fStationStatus.setNextAttemptSource([this]() -> std::optional<StationStatus::Clock::time_point> {
        auto earliest = TransportBackoff::nextAttempt();
        if (const auto photo = fPhotoRetryPauses.nextAttempt(); photo && (!earliest || photo->when < *earliest))
            earliest = photo->when;
        return earliest;
    });
    fStationStatus.setFiledListener(
        [this](const std::string& photo, const std::string& destination, const std::string& why, bool toMirror) {
            fMainThreadPresenter.showFiled(photo, destination, why, toMirror);
        });
    fMainThreadPresenter.setErrorObserver([this](const std::string& text) { fStationStatus.noteError(text); });
}

AppController::~AppController()
{
    fCenter.removeObserver(this);
    fRescanTimer.cancelRetriggerTimer();
    if (fCommandSocket)
        fCommandSocket->stop();
    // Only an owner that ends before the process does gets here (the program
    // exits without destroying its controller); no thread may outlive it.
    stopWorkerThreads();
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
    return SystemVersion::kernelSupportsFolderEvents(release);
}

void AppController::checkOSVersion()
{
    utsname names{};
    if (::uname(&names) == 0) {
        unsigned major = 0, minor = 0, patch = 0;
        std::sscanf(names.release, "%u.%u.%u", &major, &minor, &patch);
        ConsoleLog::writef("Gestalt(gestaltSystemVersion) returned: %x",
                           (major << 16) | ((minor & 0xff) << 8) | (patch & 0xff));
    }
    const auto output = runShellScript2("/bin/uname", std::vector<std::string>{"-r"});
    const std::string release = output ? TextUtil::trimmed(*output) : std::string();
    if (release.empty()) {
        ConsoleLog::write("runShellScript2 failed to get the kernel release???");
        return;
    }
    ConsoleLog::writef("Got from runShellScript2: [%s]", release.c_str());
    _macVersionString = "v" + release;
    _isRunningLeopard = kernelSupportsFolderEvents(release);
    fRescanTimer.setRunningLeopard(_isRunningLeopard);
    if (!_isRunningLeopard) {
        fPresenter.showAlert("Sorry - Unsupported Kernel Version:",
                             stringWithFormat("Your Linux kernel release is: [%s]\nMinimum Requirement: [v%s] "
                                              "(folder events)",
                                              _macVersionString.c_str(), SystemVersion::kMinimumKernel),
                             "OK");
        terminate(this);
    }
    fPresenter.updateTextField(StatusPresenter::Field::MacOSVersion, "Linux kernel: " + _macVersionString, false);
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
    if (const auto problem = ZVLogFileManager::takeSetupProblem()) {
        fStationStatus.noteError(*problem);
        fPresenter.updateTextField(StatusPresenter::Field::ProcessLine, *problem, true);
    }
    fOpenFile.resetLogin(kPlaceholderUserName, kPlaceholderPassword);
    cancelRetriggerTimer();

    fillInVersionString(0);
    fPresenter.updateTextField(StatusPresenter::Field::Copyright, _appCopyrightString, false);
    ConsoleLog::write(_appCopyrightString);
    MessageLog::LogMessage(stringWithFormat("Copyright Info is [%s]", _appCopyrightString.c_str()));

    if (fPresenter.hasLoginPanel())
        ibClickedOnOpenPref(nullptr);

    fPresenter.setToolTip(StatusPresenter::Field::SourceFolderPath,
                          Preferences::getLocalSourceUploadFolder().value_or(""));
    fPresenter.setToolTip(StatusPresenter::Field::UploadMainPath,
                          Preferences::getLocalMasterMirrorSiteFolder().value_or(""));

    // Remote control.
    fAppleEventHandler = std::make_unique<AppleEventHandler>();
    if (fAppleEventHandler->setupForAppleEventsForThisApp(this)) {
        fCommandSocket = std::make_unique<CommandSocketServer>(*fAppleEventHandler);
        std::string error;
        const std::string path = fCommandSocketPath.empty() ? AppPaths::defaultSocketPath() : fCommandSocketPath;
        if (!fCommandSocket->start(path, &error)) {
            ConsoleLog::writef("UNABLE setupForAppleEventsForThisApp: %s", error.c_str());
            fStationStatus.noteError("Remote control is off: " + error);
            fPresenter.updateTextField(StatusPresenter::Field::ProcessLine, "Remote control is off: " + error, true);
            fCommandSocket.reset();
        }
    }

    if (std::string why; !UserDefaults::standard().checkSavable(&why)) {
        const std::string problem = "Settings cannot be saved (changes last until quit): " + why;
        fStationStatus.noteError(problem);
        fPresenter.updateTextField(StatusPresenter::Field::ProcessLine, problem, true);
    }

    const std::string source = Preferences::getLocalSourceUploadFolder().value_or("");
    ZVI_FileManager::deleteOLDFolderIfEmpty(source, false, 3);
    ZVI_FileManager::deleteOLDFolderIfEmpty(source, false, 3);

    startDetachedThread("cleanup", [this] { OldPhotoCleanup(fMainThreadPresenter).doSetupDeleteOldPhotosThread(); });
    fOrderCheck =
        std::make_unique<OrderCheck>(fMainThreadPresenter, [this](const char* name, std::function<void()> fn) {
            startDetachedThread(name, std::move(fn));
        });
    fOrderCheck->start();
    fStationStatus.setOrderCheckSource([check = fOrderCheck.get()]() -> std::optional<OrderCheckStatus> {
        if (!Preferences::getPrefDoCheckOrders())
            return std::nullopt;
        return check->status();
    });

    // Photos answered before a crash are filed by the first pass, not sent again.
    AcceptanceJournal::shared().ensureOpen();
    // Photos that hung the last run wait their pause instead of being sent at once.
    restorePhotoRetryPauses();

    fHttpController = std::make_unique<HttpController>(fCenter);
    fHttpController->setProgressDelegate(this);

    fProcessState.createThreadLock();
}

void AppController::applicationDidFinishLaunching()
{
    MessageLog::LogMessage("applicationDidFinishLaunching");
    const bool autoStart = Preferences::getAutoStartUploadAtStartup();
    if (autoStart || fRestartedAfterHungUpload) {
        if (autoStart)
            ConsoleLog::write("Will autoResynchronizeAtStartup is TRUE...");
        else
            ConsoleLog::write("Will autoResynchronizeAtStartup is FALSE... but this start follows a hung upload, "
                              "so uploading goes on by itself");
        // A headless station never shows its window.
        const int seconds = Preferences::getPrefShowWindowAtStartup() && !fHeadless ? 30 : 10;
        fPresenter.updateTextField(StatusPresenter::Field::ProcessLine,
                                   stringWithFormat("Uploading starts by itself in %d seconds...", seconds), false);
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
        ibDeleteLocalFtpFolderIfEmpty(this);
    if (fCommandSocket)
        fCommandSocket->stop();
    if (fOrderCheck)
        fOrderCheck->stop();
    AcceptanceJournal::shared().flush();
    MessageLog::LogMessage("applicationWillTerminate - DONE!");
    ConsoleLog::writef("%s - DONE!", "applicationWillTerminate:");
    MessageLog::CloseLog();
}

void AppController::ibDeleteLocalFtpFolderIfEmpty(const void*)
{
    // Asked only of an operator who is present; unattended, the request goes ahead.
    std::function<int(const char*)> ask;
    if (fUserRequired)
        ask = [this](const char*) {
            fPresenter.showAlert("Delete Empty Folders",
                                 "The empty folders inside the Source Upload Folder will be deleted.", "OK");
            return 1;
        };
    ZVI_FileManager::ibDeleteLocalFtpFolderIfEmpty(fMainThreadPresenter, ask);
}

void AppController::terminate(const void* sender)
{
    // Queued, so a reply being written and a start-up step in progress finish first.
    QMetaObject::invokeMethod(
        this,
        [this, sender] {
            if (fTerminating)
                return;
            if (!applicationShouldTerminate(sender))
                return;
            fTerminating = true;
            applicationWillTerminate();
            if (fTerminateHandler)
                fTerminateHandler();
            else
                QCoreApplication::exit(fExitStatus);
        },
        Qt::QueuedConnection);
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
    if (fTerminating)
        return;
    // The next start reads it and goes on uploading by itself.
    if (std::string error; !fRestartMarkerPath.empty() && !RestartMarker::leave(fRestartMarkerPath, &error))
        ConsoleLog::writef("Cannot leave the restart note %s: %s", fRestartMarkerPath.c_str(), error.c_str());
    if (fSupervised) {
        // A second copy started beside us would be stopped with us by the supervisor.
        ConsoleLog::writef("Running supervised: exiting with status %d so that the supervisor starts the station again",
                           kExitStatusForSupervisor);
        fPresenter.updateTextField(StatusPresenter::Field::ProcessLine,
                                   "An upload hung: the station restarts through its supervisor...", true);
        fExitStatus = kExitStatusForSupervisor;
        terminate(param.sender);
        return;
    }
    if (!relaunch(param, [this](const void* sender) { terminate(sender); }) && !fRestartMarkerPath.empty())
        RestartMarker::discard(fRestartMarkerPath);
}

void AppController::uploadProgress(const std::string& photo, int64_t sent, int64_t total, double bytesPerSecond)
{
    fMainThreadPresenter.showUploadProgress(photo, sent, total, bytesPerSecond);
}

bool AppController::isApplicationActive() const
{
    // Without a window system the core knows only whether the status window shows.
    return fPresenter.isStatusWindowVisible();
}

// ---------------------------------------------------------------- threads

void AppController::stopWorkerThreads()
{
    if (fFolderWatcher)
        fFolderWatcher->stop();
    fWorkers.requestStop();
    if (fHttpController)
        fHttpController->abortTransfersInFlight();
    for (int seconds = 10; !fWorkers.waitForAll(10000); seconds += 10)
        ConsoleLog::writef("Still waiting for %d worker threads after %d seconds...", fWorkers.liveCount(), seconds);
}

void AppController::openFileOnMainThread()
{
    while (gInsideOpenFile) {
        ConsoleLog::writef("Inside %s => %s... Need to Wait for OpenFile to be Free...", className(),
                           "openFileOnMainThread:");
        // At most half a second, but no longer than the request inside takes.
        if (fWorkers.stopRequested())
            return;
        fProcessState.waitWhileInsideOpenFile(std::chrono::milliseconds(500));
        if (fWorkers.stopRequested())
            return;
    }
    application_openFile(Preferences::getLocalSourceUploadFolder().value_or(""));
}

void AppController::doWaitForUploadProcessToEndInThread(const void* sender)
{
    while (!gDidHaltProcess) {
        ConsoleLog::write("gDidHaltProcess is STILL NO????");
        if (!fWorkers.sleepUnlessStopped(std::chrono::seconds(1)))
            return;
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
    fStationStatus.scanRequested();
    // Asked for by the chain's own rescan request, the pass follows it on its thread.
    fWorkers.startNext("scan", [this, note] { scanFolderOnMainThread(note); });
}

void AppController::scanFolderOnMainThread(const Notification& note)
{
    startRestoredWatchdogPauses();
    ScanPass(*this).run(note);
}

void AppController::doWatchFolderInThread(const std::string& folder)
{
    const char* op = "doWatchFolderInThread:";
    ConsoleLog::writef("Inside THREAD *********** %s => %s...", className(), op);
    // Tested and set in one step: two empty passes ending together must not both install a watcher.
    if (!fProcessState.beginWatchFolderInstaller()) {
        ConsoleLog::write("ALREADY inside doWatchFolderInThread     EXITING THREAD...\n\n");
        return;
    }
    bool runLoopSet = false;
    fProcessState.withThreadLock([&] { runLoopSet = fWatcherRunLoop != nullptr; });
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
    fProcessState.withThreadLock([&] { fWatcherRunLoop = nullptr; }); // that loop has ended
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
    fStationStatus.uploadStarted(item ? item->edFileName : std::string());
    if (item)
        ibUpdateFileNameField(item->localItem);
    else
        ConsoleLog::write("handleNotification_UploadStart got bad itemToMove = nil...");
    ibUpdateUploadStatusTextField("Uploading...");
    ibUpdateProgressBar("YES");
    if (item && Preferences::getPrefShowPreviewWhenUploading())
        fMainThreadPresenter.showPreview(item->edFileName);
}

void AppController::handleNotification_UploadDone(const Notification& note)
{
    logInside(className(), "handleNotification_UploadDone:");
    noteUploadAnswered(note);
    fStationStatus.uploadEnded();
    ibUpdateProgressBar("NO");
    if (gWantsToHaltProcess)
        completeRequestedPause();
    else
        ConsoleLog::writef("Inside %s => %s    gDidHaltProcess already set to [%i]...", className(),
                           "handleNotification_UploadDone:", gDidHaltProcess ? 1 : 0);
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

void AppController::retryPendingFilings() { ResultFiling(*this).retryPendingFilings(); }

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
        // The pass that carried this photo ends right after; its thread takes the request then.
        fWorkers.startNext("rescan request", [this] { openFileOnMainThread(); });
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
    fProcessState.withThreadLock([&] {
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
    fWorkers.startNext("rescan request", [this] { openFileOnMainThread(); });
}

void AppController::handleNotification_UploadProcessPaused(const Notification&)
{
    logInside(className(), "handleNotification_UploadProcessPaused:");
    MainThread::perform(this, [this] { doHandleOpenPrefPanel(nullptr); });
}

// ---------------------------------------------------------------- scan requests
