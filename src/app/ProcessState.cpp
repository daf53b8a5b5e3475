#include "app/ProcessState.h"

#include "app/MainThreadPresenter.h"
#include "app/ProcessFlags.h"

#include <string>

void ProcessState::createThreadLock()
{
    if (fThreadLockOwner)
        return;
    fThreadLockOwner = std::make_unique<std::recursive_mutex>();
    fThreadLock = fThreadLockOwner.get();
}

void ProcessState::setStartedUploadProcess(bool value)
{
    withThreadLock([&] { gStartedUploadProcess = value; });
}
void ProcessState::setIsScanningFolder(bool value)
{
    withThreadLock([&] { gIsScanning = value; });
}
void ProcessState::setIsInsideOpenFile(bool value)
{
    withThreadLock([&] { gInsideOpenFile = value; });
    if (!value) {
        std::lock_guard lock(fOpenFileMutex);
        fOpenFileFree.notify_all();
    }
}

void ProcessState::waitWhileInsideOpenFile(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(fOpenFileMutex);
    fOpenFileFree.wait_for(lock, timeout, [] { return !gInsideOpenFile; });
}
void ProcessState::setIsInsideWatchFolderThread(bool value)
{
    withThreadLock([&] { gIsInWatchFolderInstaller = value; });
}
void ProcessState::setWantsToHaltProcess(bool value)
{
    withThreadLock([&] { gWantsToHaltProcess = value; });
}
void ProcessState::setDidHaltProcess(bool value)
{
    withThreadLock([&] { gDidHaltProcess = value; });
}

void ProcessState::setNeedsToRescan(int value)
{
    withThreadLock([&] {
        if (value == 1)
            gNeedsToRescan.fetch_add(1);
        else
            gNeedsToRescan = 0;
    });
}

bool ProcessState::beginScanningFolder()
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

bool ProcessState::beginWatchFolderInstaller()
{
    bool began = false;
    withThreadLock([&] {
        if (!gIsInWatchFolderInstaller) {
            setIsInsideWatchFolderThread(true);
            began = true;
        }
    });
    return began;
}

void ProcessState::completeRequestedPause()
{
    bool completed = false;
    withThreadLock([&] {
        if (gWantsToHaltProcess && !gDidHaltProcess) {
            setDidHaltProcess(true);
            completed = true;
        }
    });
    if (completed)
        fPresenter.setPauseResumeButton(std::string("Resume"), true);
}

bool ProcessState::cancelRequestedPause()
{
    bool cancelled = false;
    withThreadLock([&] {
        if (gWantsToHaltProcess && !gDidHaltProcess) {
            setWantsToHaltProcess(false);
            cancelled = true;
        }
    });
    return cancelled;
}
