#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

class MainThreadPresenter;

// The writer of the process flags (app/ProcessFlags.h): every change goes
// through a setter that takes the recursive lock `fThreadLock`, so a test and
// the change that follows it cannot be split by another thread. The flags
// themselves are read freely. Any thread may call.
class ProcessState {
public:
    // presenter shows the pause button when a requested pause completes.
    explicit ProcessState(MainThreadPresenter& presenter) : fPresenter(presenter) { }
    ProcessState(const ProcessState&) = delete;
    ProcessState& operator=(const ProcessState&) = delete;

    // Made during will-finish-launching; until then the flags are written unguarded.
    void createThreadLock();
    bool hasThreadLock() const { return fThreadLock.load() != nullptr; }

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
    // Tested and set in one step: true when this caller marked the watcher
    // installer as running, false when it already ran.
    bool beginWatchFolderInstaller();
    // Turns a pause asked for during the current photo into the paused state
    // (button "Resume").
    void completeRequestedPause();
    // Withdraws a pause asked for during the current photo before it takes
    // effect; false when there was none (or it already took effect). One step
    // with completeRequestedPause, so the two cannot cross.
    bool cancelRequestedPause();

    // Waits while the open-folder request is busy, at most timeout; returns
    // at once when it is free (a rescan request then goes ahead without
    // sleeping out the rest of its pause).
    void waitWhileInsideOpenFile(std::chrono::milliseconds timeout);

    // Runs f holding the lock (unguarded before the lock exists).
    template <typename F> void withThreadLock(F&& f)
    {
        if (std::recursive_mutex* lock = fThreadLock.load()) {
            std::lock_guard guard(*lock);
            f();
        } else {
            f();
        }
    }

private:
    MainThreadPresenter& fPresenter;
    std::unique_ptr<std::recursive_mutex> fThreadLockOwner;
    std::atomic<std::recursive_mutex*> fThreadLock{nullptr};
    std::mutex fOpenFileMutex;
    std::condition_variable fOpenFileFree;
};
