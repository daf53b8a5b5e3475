#include "app/WorkerThreads.h"

#include "platform/ConsoleLog.h"

#include <system_error>
#include <thread>

bool WorkerThreads::start(const char* name, std::function<void()> fn)
{
    {
        // Counted under the lock, so no thread slips in after a stop request.
        std::lock_guard lock(fMutex);
        if (fStopRequested) {
            ConsoleLog::writef("Not starting the %s thread: the workers are stopping", name);
            return false;
        }
        fLive.fetch_add(1);
    }
    try {
        std::thread([this, fn = std::move(fn)] {
            fn();
            threadEnded();
        }).detach();
        return true;
    } catch (const std::system_error& e) {
        threadEnded();
        ConsoleLog::writef("UNABLE to start the %s thread: %s", name, e.what());
        return false;
    }
}

void WorkerThreads::threadEnded()
{
    // The count drops under the lock, so a waiter cannot miss the last wake-up.
    std::lock_guard lock(fMutex);
    fLive.fetch_sub(1);
    fEnded.notify_all();
}

void WorkerThreads::requestStop()
{
    std::lock_guard lock(fMutex);
    fStopRequested = true;
    fStopping.notify_all();
}

bool WorkerThreads::sleepUnlessStopped(std::chrono::milliseconds time)
{
    std::unique_lock lock(fMutex);
    return !fStopping.wait_for(lock, time, [this] { return fStopRequested.load(); });
}

bool WorkerThreads::waitForAll(int milliseconds)
{
    std::unique_lock lock(fMutex);
    auto noneLeft = [this] { return fLive.load() == 0; };
    if (milliseconds >= 0)
        return fEnded.wait_for(lock, std::chrono::milliseconds(milliseconds), noneLeft);
    fEnded.wait(lock, noneLeft);
    return true;
}
