#pragma once

#include "app/FolderWatcher.h"
#include "app/MainThreadPresenter.h"
#include "app/ProcessState.h"
#include "app/RescanTimer.h"
#include "app/StationStatus.h"
#include "app/StatusPresenter.h"
#include "app/UploadChainHost.h"
#include "app/WorkerThreads.h"
#include "filing/PhotoRetryPauses.h"
#include "filing/PhotoRetryPausesFile.h"
#include "platform/NotificationCenter.h"
#include "remote/AppleEventTarget.h"
#include "scan/NotReadyReport.h"
#include "scan/OpenFileRequest.h"
#include "scan/ScanWakeup.h"
#include "scan/ScanVerdictCache.h"
#include "scan/SettleTracker.h"
#include "upload/UploadProgressDelegate.h"

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class HttpController;
class AppleEventHandler;
class CommandSocketServer;
class OrderCheck;

// The application controller owns the upload process: it comes up in a fixed
// order, routes the upload chain's notifications, answers the operator's
// controls and goes down again. Its pieces do the work: ProcessState (the
// flags and their lock), MainThreadPresenter (the status window from any
// thread), WorkerThreads (counted detached threads), RescanTimer and
// OpenFileRequest; the scan pass and the filing see it only as an
// UploadChainHost. Every operation not marked otherwise runs on the main thread.
class AppController : public QObject, public AppleEventTarget, public UploadProgressDelegate, public UploadChainHost {
    Q_OBJECT
public:
    explicit AppController(StatusPresenter& presenter,
                           NotificationCenter& center = NotificationCenter::defaultCenter());
    ~AppController() override;

    // --- start-up and shutdown ---
    // Once per process, before the first controller: factory defaults, the
    // daily log redirect and the pruning of old logs.
    static void initialize();
    void awakeFromNib();
    void applicationWillFinishLaunching();
    void applicationDidFinishLaunching();
    bool applicationShouldTerminate(const void* sender); // always "terminate now"
    void applicationWillTerminate();
    // Asks the application to terminate: the two steps above, then the event
    // loop ends (through the terminate handler). Safe before the loop runs.
    void terminate(const void* sender);
    void ibClickedOnQuit(const void* sender) override;
    // The upload watchdog's request: quits and starts the application again.
    void relaunchApp(const RelaunchRequest& param) override;
    bool isApplicationActive() const override;
    // The watchdog cut the photo's upload off: counted (across relaunches);
    // from the second cut-off in a row on, the photo waits its growing pause
    // while the others go on.
    void uploadCutOffByWatchdog(const std::string& photo, double seconds) override;
    // A long upload's progress, from the upload's thread.
    void uploadProgress(const std::string& photo, int64_t sent, int64_t total, double bytesPerSecond) override;
    bool fillInVersionString(int tag);

    // Where the command socket listens (set before will-finish-launching).
    void setCommandSocketPath(std::string path) { fCommandSocketPath = std::move(path); }

    // How the station runs, set before will-finish-launching.
    // Headless: no window ever shows, so the automatic start waits the shorter time.
    void setHeadless(bool headless) { fHeadless = headless; }
    // Supervised: after a hung upload the station exits with
    // kExitStatusForSupervisor and a service manager starts it again,
    // instead of starting a second copy through quon-relaunch.
    void setSupervised(bool supervised) { fSupervised = supervised; }
    // The note left for the next start when an upload hangs (none: no note).
    void setRestartMarkerPath(std::string path) { fRestartMarkerPath = std::move(path); }
    // This start follows a hung upload: go on uploading even with the automatic start off.
    void setRestartedAfterHungUpload(bool restarted) { fRestartedAfterHungUpload = restarted; }
    static constexpr int kExitStatusForSupervisor = 75;
    // What the event loop ends with: 0, or kExitStatusForSupervisor.
    int exitStatus() const { return fExitStatus; }
    // What ends the event loop; defaults to QCoreApplication::exit(0).
    void setTerminateHandler(std::function<void()> handler) { fTerminateHandler = std::move(handler); }
    bool isTerminating() const { return fTerminating; }

    // --- the pieces behind the front door ---
    ProcessState& processState() override { return fProcessState; }
    MainThreadPresenter& presenter() override { return fMainThreadPresenter; }
    WorkerThreads& workerThreads() override { return fWorkers; }
    NotificationCenter& notificationCenter() override { return fCenter; }
    const void* notificationSender() const override { return this; }
    RescanTimer& rescanTimer() { return fRescanTimer; }
    OpenFileRequest& openFileRequest() { return fOpenFile; }

    // --- process flags (any thread) ---
    void setStartedUploadProcess(bool value) { fProcessState.setStartedUploadProcess(value); }
    void setIsScanningFolder(bool value) { fProcessState.setIsScanningFolder(value); }
    void setIsInsideOpenFile(bool value) { fProcessState.setIsInsideOpenFile(value); }
    void setIsInsideWatchFolderThread(bool value) { fProcessState.setIsInsideWatchFolderThread(value); }
    void setWantsToHaltProcess(bool value) { fProcessState.setWantsToHaltProcess(value); }
    void setDidHaltProcess(bool value) { fProcessState.setDidHaltProcess(value); }
    void setNeedsToRescan(int value) { fProcessState.setNeedsToRescan(value); }
    bool beginScanningFolder() { return fProcessState.beginScanningFolder(); }
    bool hasThreadLock() const { return fProcessState.hasThreadLock(); }
    void completeRequestedPause() { fProcessState.completeRequestedPause(); }

    // --- notification handlers (on the posting thread) ---
    void handleNotification_ScanFolder(const Notification& note);
    void handleNotification_PrepareUploadStart(const Notification& note);
    void handleNotification_UploadStart(const Notification& note);
    void handleNotification_UploadDone(const Notification& note);
    void handleNotification_UploadSuccess(const Notification& note);
    void handleNotification_UploadFail(const Notification& note);
    void handleNotification_CleanUpAfterUpload(const Notification& note);
    void handleNotification_CleanUpAfterCompleteLoop(const Notification& note);
    void handleNotification_WatcherStarted(const Notification& note);
    void handleNotification_WatcherItemChanged(const Notification& note);
    void handleNotification_UploadProcessPaused(const Notification& note);
    // Filing-retry thread: moves the uploaded photos whose move failed, once their pause has ended.
    void retryPendingFilings();

    // --- worker operations ---
    // One scan pass; runs on its own scan thread.
    void scanFolderOnMainThread(const Notification& note);
    // Rescan-request thread: waits for the open-file request to be free, then asks for a pass.
    void openFileOnMainThread() override;
    // Pause-wait thread: waits for the pause, then posts "UploadProcessPaused".
    void doWaitForUploadProcessToEndInThread(const void* sender);
    void forceProcessToPause(const void* sender) override;
    // Opens a new mail to support in the desktop's mail program.
    void sendMailCocoa();
    // The folder watcher's thread: installs the watch on the folder once per run.
    void doWatchFolderInThread(const std::string& folder) override;
    // Starts fn on a detached, counted thread of its own.
    void startDetachedThread(const char* name, std::function<void()> fn) { fWorkers.start(name, std::move(fn)); }
    // For owners that go away before the process ends (tests, benchmarks):
    // stops the watcher, aborts the transfers in flight, asks every worker to
    // finish and waits until the last has ended. The program never calls it.
    void stopWorkerThreads();
    // Waits (bounded) until every thread this controller started has ended.
    bool waitForWorkerThreads(int milliseconds) { return fWorkers.waitForAll(milliseconds); }

    // --- scan requests and validation (main thread or a rescan-request thread) ---
    bool application_openFile(const std::string& path) { return fOpenFile.application_openFile(path); }
    bool validateUserInfoBeforeUploading(const std::optional<std::string>& sourceFolder)
    {
        return fOpenFile.validateUserInfoBeforeUploading(sourceFolder);
    }
    void getUserEnteredEventName() { fOpenFile.getUserEnteredEventName(); }
    void getCurrentLoginInfo() { fOpenFile.getCurrentLoginInfo(); }
    bool saveLoginInfo();

    // --- operator controls ---
    void ibUserClickedOnSynchronize(const void* sender);
    void ibMenuCmd_Open(const void* sender);
    void ibClickedOnSynchronizeAgain(const void* sender) override;
    bool resumePausedProcess(const void* sender) override;
    void pauseFromAnotherProgram(const void* sender) override;
    void ibClickedOnHalt(const void* sender);
    void doHandlePauseResumeButtonAsResume(const void* sender);
    void ibClickedOnOpenPref(const void* sender);
    // Deletes the empty sub-folders of the source folder, keeping the folders directly in it.
    void ibDeleteLocalFtpFolderIfEmpty(const void* sender);
    void doHandleOpenPrefPanel(const void* sender);

    // --- what the scan keeps from one pass to the next (any thread) ---
    // The photos left in the source folder and why.
    NotReadyReport& notReadyReport() override { return fNotReadyReport; }
    // How long the files the scan waits on have stayed unchanged.
    SettleTracker& settleTracker() override { return fSettleTracker; }
    // What the bytes of the photos left behind said, while they stay unchanged.
    ScanVerdictCache& scanVerdictCache() override { return fScanVerdictCache; }
    // A scan is requested once the delay has passed (a photo that waits may be
    // ready then), unless one is already due sooner.
    void requestScanAfter(std::chrono::steady_clock::duration delay) override { fScanWakeup.wakeAfter(delay); }
    std::optional<std::chrono::steady_clock::time_point> nextScanWakeup() const { return fScanWakeup.nextWake(); }
    // What `quon-ctl status` reports (any thread).
    StationStatus& stationStatus() override { return fStationStatus; }
    std::string stationStatusReport() const override { return fStationStatus.toJson(); }
    // The photos that wait before they are sent or filed again; its
    // nextAttempt() is the earliest of them.
    PhotoRetryPauses& photoRetryPauses() override { return fPhotoRetryPauses; }
    void requestFilingRetryAfter(std::chrono::steady_clock::duration delay) override { fFilingWakeup.wakeAfter(delay); }

    // --- the rescan timer ---
    void doSetupRetriggerTimerOnMainThread() override { fRescanTimer.doSetupRetriggerTimerOnMainThread(); }
    void doSetupRetriggerTimer() { fRescanTimer.doSetupRetriggerTimer(); }
    void cancelRetriggerTimerOnMainThread() override { fRescanTimer.cancelRetriggerTimerOnMainThread(); }
    void cancelRetriggerTimer() { fRescanTimer.cancelRetriggerTimer(); }
    void doAutoResynchronize() { fRescanTimer.doAutoResynchronize(); }
    bool hasRepeatTimer() const { return fRescanTimer.isActive(); }
    // Milliseconds until the automatic start, or -1 when none is armed.
    int autoStartDelay() const { return fStartTimer && fStartTimer->isActive() ? fStartTimer->interval() : -1; }

    // --- status updates (any thread; shown on the main thread) ---
    void ibUpdateTextField(StatusPresenter::Field field, const std::string& text, bool isError = false)
    {
        fMainThreadPresenter.ibUpdateTextField(field, text, isError);
    }
    void ibUpdateFTPCallbackStatusTextField(const std::string& text, bool isError = false)
    {
        fMainThreadPresenter.ibUpdateFTPCallbackStatusTextField(text, isError);
    }
    void ibUpdateUploadStatusTextField(const std::string& text)
    {
        fMainThreadPresenter.ibUpdateUploadStatusTextField(text);
    }
    void ibUpdateFileNameField(const std::string& text) { fMainThreadPresenter.ibUpdateFileNameField(text); }
    void ibUpdateProgressBar(const std::string& yesOrNo) { fMainThreadPresenter.ibUpdateProgressBar(yesOrNo); }
    void setPauseResumeButton(const std::optional<std::string>& title, std::optional<bool> enabled)
    {
        fMainThreadPresenter.setPauseResumeButton(title, enabled);
    }
    void beep() { fMainThreadPresenter.beep(); }

    // --- read-only state ---
    std::string getAppVersionString() const { return _appVersionString; }
    std::string getCopyrightString() const { return _appCopyrightString; }
    std::string getMacOsVersionString() const { return _macVersionString; }
    bool isRunningLeopard() const override { return _isRunningLeopard; }
    std::optional<std::string> currentEventName() const { return fOpenFile.currentEventName(); }
    std::string currentUserName() const override { return fOpenFile.currentUserName(); }
    std::string currentPassword() const override { return fOpenFile.currentPassword(); }
    std::string rootFolder() const { return fOpenFile.rootFolder(); }
    // The hi-res order checks (none before will-finish-launching).
    const OrderCheck* orderCheck() const { return fOrderCheck.get(); }

    // The OS-version rule: the kernel release must be 2.6.13 or later
    // (folder events); returns true when it is.
    static bool kernelSupportsFolderEvents(const std::string& release);
    static std::string formatTriggerDate(double secondsFromNow)
    {
        return RescanTimer::formatTriggerDate(secondsFromNow);
    }

private:
    void registerForNotifications();
    // Reads the photos' pauses left by the last run and writes every change out.
    void restorePhotoRetryPauses();
    // At the first pass: the pauses of photos cut off in the last run start now.
    void startRestoredWatchdogPauses();
    // The service answered the upload: the photo's watchdog cut-offs end.
    void noteUploadAnswered(const Notification& note);
    void checkOSVersion();
    const char* className() const { return "AppController"; }

    StatusPresenter& fPresenter; // main thread only; workers go through fMainThreadPresenter
    NotificationCenter& fCenter;
    MainThreadPresenter fMainThreadPresenter{fPresenter};
    ProcessState fProcessState{fMainThreadPresenter};
    WorkerThreads fWorkers;
    RescanTimer fRescanTimer{fMainThreadPresenter, [this] { ibClickedOnSynchronizeAgain(this); }};
    OpenFileRequest fOpenFile{*this};

    bool _isRunningLeopard = false;
    std::string _macVersionString;
    std::string _appVersionString;
    std::string _appCopyrightString;

    QPointer<QTimer> fStartTimer;
    bool fUserRequired = false;
    void* fWatcherRunLoop = nullptr; // guarded by the thread lock
    // Made with the controller, so a stop at shutdown holds even for a watcher thread that has not begun yet.
    std::unique_ptr<FolderWatcher> fFolderWatcher = std::make_unique<FolderWatcher>(fCenter);

    std::unique_ptr<HttpController> fHttpController;
    std::unique_ptr<AppleEventHandler> fAppleEventHandler;
    std::unique_ptr<CommandSocketServer> fCommandSocket;
    std::unique_ptr<OrderCheck> fOrderCheck;
    std::string fCommandSocketPath;
    std::function<void()> fTerminateHandler;
    bool fTerminating = false;
    bool fHeadless = false;
    bool fSupervised = false;
    bool fRestartedAfterHungUpload = false;
    std::string fRestartMarkerPath;
    int fExitStatus = 0;

    NotReadyReport fNotReadyReport;
    SettleTracker fSettleTracker;
    StationStatus fStationStatus;
    ScanVerdictCache fScanVerdictCache;
    ScanWakeup fScanWakeup{[this] { fWorkers.startNext("rescan request", [this] { openFileOnMainThread(); }); }};
    PhotoRetryPauses fPhotoRetryPauses;
    PhotoRetryPausesFile fPhotoRetryPausesFile;
    std::atomic<bool> fRestoredPausesStarted{false};
    ScanWakeup fFilingWakeup{[this] { fWorkers.start("filing retry", [this] { retryPendingFilings(); }); },
                             "Trying again to file the uploaded photos that could not be filed"};
};
