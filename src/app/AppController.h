#pragma once

#include "app/FolderWatcher.h"
#include "app/StatusPresenter.h"
#include "platform/NotificationCenter.h"
#include "remote/AppleEventTarget.h"
#include "scan/NotReadyReport.h"
#include "scan/SettleTracker.h"
#include "upload/UploadProgressDelegate.h"

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class HttpController;
class AppleEventHandler;
class CommandSocketServer;
class ScanWakeup;

// The application controller owns the upload process: it comes up in a fixed
// order, holds the process flags under its recursive lock, routes the upload
// chain's notifications, answers the operator's controls and goes down again.
// Every operation not marked otherwise runs on the main thread.
class AppController : public QObject, public AppleEventTarget, public UploadProgressDelegate {
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
    bool fillInVersionString(int tag);

    // Where the command socket listens (set before will-finish-launching).
    void setCommandSocketPath(std::string path) { fCommandSocketPath = std::move(path); }
    // What ends the event loop; defaults to QCoreApplication::exit(0).
    void setTerminateHandler(std::function<void()> handler) { fTerminateHandler = std::move(handler); }
    bool isTerminating() const { return fTerminating; }

    // --- process flags (any thread) ---
    void setStartedUploadProcess(bool value);
    void setIsScanningFolder(bool value);
    void setIsInsideOpenFile(bool value);
    void setIsInsideWatchFolderThread(bool value);
    void setWantsToHaltProcess(bool value);
    void setDidHaltProcess(bool value);
    // YES (1) counts one more request; anything else resets the counter.
    void setNeedsToRescan(int value);
    // One atomic step: when no pass runs, resets the counter, marks a pass as
    // running and returns true; otherwise counts the request and returns false.
    bool beginScanningFolder();
    bool hasThreadLock() const { return fThreadLock.load() != nullptr; }

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

    // --- worker operations ---
    // One scan pass; runs on its own scan thread.
    void scanFolderOnMainThread(const Notification& note);
    // Rescan-request thread: waits for the open-folder request to be free, then asks for a pass.
    void openFileOnMainThread();
    // Pause-wait thread: waits for the pause, then posts "UploadProcessPaused".
    void doWaitForUploadProcessToEndInThread(const void* sender);
    void forceProcessToPause(const void* sender) override;
    // Turns a pause asked for during the current photo into the paused state
    // (button "Resume"); any thread.
    void completeRequestedPause();
    // Opens a new mail to support in the desktop's mail program.
    void sendMailCocoa();
    // The folder watcher's thread: installs the watch on the folder once per run.
    void doWatchFolderInThread(const std::string& folder);
    NotificationCenter& notificationCenter() { return fCenter; }
    // Starts fn on a detached thread of its own.
    void startDetachedThread(const char* name, std::function<void()> fn);

    // --- scan requests and validation (main thread or a rescan-request thread) ---
    bool application_openFile(const std::string& path);
    bool validateUserInfoBeforeUploading(const std::optional<std::string>& sourceFolder);
    void getUserEnteredEventName();
    void getCurrentLoginInfo();
    bool saveLoginInfo();

    // --- operator controls ---
    void ibUserClickedOnSynchronize(const void* sender);
    void ibMenuCmd_Open(const void* sender);
    void ibClickedOnSynchronizeAgain(const void* sender) override;
    void ibClickedOnHalt(const void* sender);
    void doHandlePauseResumeButtonAsResume(const void* sender);
    void ibClickedOnOpenPref(const void* sender);
    void doHandleOpenPrefPanel(const void* sender);

    // --- what the scan keeps from one pass to the next (any thread) ---
    // The photos left in the source folder and why.
    NotReadyReport& notReadyReport() { return fNotReadyReport; }
    // How long the files the scan waits on have stayed unchanged.
    SettleTracker& settleTracker() { return fSettleTracker; }
    // A scan is requested once the delay has passed (a photo that waits may be
    // ready then), unless one is already due sooner.
    void requestScanAfter(std::chrono::steady_clock::duration delay);
    std::optional<std::chrono::steady_clock::time_point> nextScanWakeup() const;

    // --- the rescan timer ---
    void doSetupRetriggerTimerOnMainThread();
    void doSetupRetriggerTimer();
    void cancelRetriggerTimerOnMainThread();
    void cancelRetriggerTimer();
    void doAutoResynchronize();
    bool hasRepeatTimer() const { return fRepeatTimer != nullptr; }
    // Milliseconds until the automatic start, or -1 when none is armed.
    int autoStartDelay() const { return fStartTimer && fStartTimer->isActive() ? fStartTimer->interval() : -1; }

    // --- status updates (any thread; shown on the main thread) ---
    void ibUpdateTextField(StatusPresenter::Field field, const std::string& text, bool isError = false);
    void ibUpdateFTPCallbackStatusTextField(const std::string& text, bool isError = false);
    void ibUpdateUploadStatusTextField(const std::string& text);
    void ibUpdateFileNameField(const std::string& text);
    void ibUpdateProgressBar(const std::string& yesOrNo);
    void setPauseResumeButton(const std::optional<std::string>& title, std::optional<bool> enabled);
    void beep();

    // --- read-only state ---
    std::string getAppVersionString() const { return _appVersionString; }
    std::string getCopyrightString() const { return _appCopyrightString; }
    std::string getMacOsVersionString() const { return _macVersionString; }
    bool isRunningLeopard() const { return _isRunningLeopard; }
    std::optional<std::string> currentEventName() const;
    std::string currentUserName() const;
    std::string currentPassword() const;
    std::string rootFolder() const;
    // Waits (bounded) until every thread this controller started has ended.
    bool waitForWorkerThreads(int milliseconds);

    // The OS-version rule: the kernel release must be 2.6.13 or later
    // (folder events); returns true when it is.
    static bool kernelSupportsFolderEvents(const std::string& release);
    static std::string formatTriggerDate(double secondsFromNow);

private:
    void registerForNotifications();
    void checkOSVersion();
    template <typename F>
    void withThreadLock(F&& f);
    const char* className() const { return "AppController"; }

    StatusPresenter& fPresenter;
    NotificationCenter& fCenter;

    bool _isRunningLeopard = false;
    std::string _macVersionString;
    std::string _appVersionString;
    std::string _appCopyrightString;

    std::unique_ptr<std::recursive_mutex> fThreadLockOwner;
    std::atomic<std::recursive_mutex*> fThreadLock{nullptr};

    mutable std::mutex fLoginMutex; // the login and event fields are read by scan threads
    std::string fCurUserName;
    std::string fCurPassword;
    std::optional<std::string> fCurEventName;
    std::string fRootFolder;

    QPointer<QTimer> fRepeatTimer;
    QPointer<QTimer> fStartTimer;
    bool fUserRequired = false;
    void* fWatcherRunLoop = nullptr;
    // Made with the controller, so a stop at shutdown holds even for a watcher thread that has not begun yet.
    std::unique_ptr<FolderWatcher> fFolderWatcher = std::make_unique<FolderWatcher>(fCenter);

    std::unique_ptr<HttpController> fHttpController;
    std::unique_ptr<AppleEventHandler> fAppleEventHandler;
    std::unique_ptr<CommandSocketServer> fCommandSocket;
    std::string fCommandSocketPath;
    std::function<void()> fTerminateHandler;
    bool fTerminating = false;

    std::atomic<int> fLiveThreads{0};

    NotReadyReport fNotReadyReport;
    SettleTracker fSettleTracker;
    std::unique_ptr<ScanWakeup> fScanWakeup;
};
