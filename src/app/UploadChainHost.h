#pragma once

#include <chrono>
#include <string>

class MainThreadPresenter;
class NotificationCenter;
class NotReadyReport;
class PhotoRetryPauses;
class ProcessState;
class ScanVerdictCache;
class SettleTracker;
class StationStatus;
class WorkerThreads;

// What the scan pass, the open-file request and the result filing ask of the
// application: the process flags, the status window, worker threads, the
// notification centre, the current login and the few steps of the chain that
// the application itself owns. The application controller is the one host;
// tests may hand in their own.
class UploadChainHost {
public:
    virtual ~UploadChainHost() = default;

    virtual ProcessState& processState() = 0;
    virtual MainThreadPresenter& presenter() = 0;
    virtual WorkerThreads& workerThreads() = 0;
    virtual NotificationCenter& notificationCenter() = 0;
    // The sender of the chain's notifications.
    virtual const void* notificationSender() const = 0;

    // The login of the last accepted scan request (any thread).
    virtual std::string currentUserName() const = 0;
    virtual std::string currentPassword() const = 0;
    // Whether the system reports folder events (no rescan timer note then).
    virtual bool isRunningLeopard() const = 0;

    // Rescan-request thread: waits for the open-file request to be free, then asks for a pass.
    virtual void openFileOnMainThread() = 0;
    // The folder watcher's thread: installs the watch on the folder once per run.
    virtual void doWatchFolderInThread(const std::string& folder) = 0;
    // Arms (again) and cancels the rescan timer from any thread.
    virtual void doSetupRetriggerTimerOnMainThread() = 0;
    virtual void cancelRetriggerTimerOnMainThread() = 0;
    // Requests a pause when an upload is running.
    virtual void forceProcessToPause(const void* sender) = 0;

    // What the scan keeps from one pass to the next (any thread): the photos
    // it left in the source folder and why, and how long the files it waits
    // on have stayed unchanged, and what their bytes said while they stay so.
    virtual NotReadyReport& notReadyReport() = 0;
    virtual SettleTracker& settleTracker() = 0;
    virtual ScanVerdictCache& scanVerdictCache() = 0;
    // A scan is requested once the delay has passed (a photo that waits may be
    // ready then), unless one is already due sooner.
    virtual void requestScanAfter(std::chrono::steady_clock::duration delay) = 0;

    // What the operator's status reports: photos filed, waits, a halted chain (any thread).
    virtual StationStatus& stationStatus() = 0;
    // The photos that wait their own pause before they are sent or filed
    // again (any thread).
    virtual PhotoRetryPauses& photoRetryPauses() = 0;
    // The moves that failed are tried again once the delay has passed, on a
    // worker thread, unless a retry is already due sooner.
    virtual void requestFilingRetryAfter(std::chrono::steady_clock::duration delay) = 0;
};
