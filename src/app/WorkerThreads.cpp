#include "app/WorkerThreads.h"

#include "platform/ConsoleLog.h"

#include <system_error>
#include <thread>

namespace {

// The threads of which pool run chain work on this thread, and the successors
// that wait for it to end.
thread_local const WorkerThreads* tChainPool = nullptr;
thread_local std::deque<std::function<void()>>* tSuccessors = nullptr;

} // namespace

WorkerThreads::~WorkerThreads()
{
    std::unique_lock lock(fMutex);
    fClosing = true;
    fWork.notify_all();
    fThreadGone.wait(lock, [this] { return fThreads == 0; });
}

bool WorkerThreads::start(const char* name, std::function<void()> fn)
{
    return startWork(name, {std::move(fn), false});
}

bool WorkerThreads::startNext(const char* name, std::function<void()> fn)
{
    if (tChainPool != this || !tSuccessors)
        return startWork(name, {std::move(fn), true});
    std::lock_guard lock(fMutex);
    if (fStopRequested) {
        ConsoleLog::writef("Not starting the %s thread: the workers are stopping", name);
        return false;
    }
    fLive.fetch_add(1); // counted now: the work is started, only its thread is busy a moment longer
    tSuccessors->push_back(std::move(fn));
    return true;
}

bool WorkerThreads::startWork(const char* name, Work work)
{
    {
        // Counted under the lock, so no thread slips in after a stop request.
        std::lock_guard lock(fMutex);
        if (fStopRequested) {
            ConsoleLog::writef("Not starting the %s thread: the workers are stopping", name);
            return false;
        }
        fLive.fetch_add(1);
        if (fIdle > static_cast<int>(fQueue.size())) {
            fQueue.push_back(std::move(work));
            fWork.notify_one();
            return true;
        }
        ++fThreads;
    }
    try {
        std::thread([this, work = std::move(work)]() mutable { threadMain(std::move(work)); }).detach();
        return true;
    } catch (const std::system_error& e) {
        {
            std::lock_guard lock(fMutex);
            fLive.fetch_sub(1);
            --fThreads;
            fEnded.notify_all();
            fThreadGone.notify_all();
        }
        ConsoleLog::writef("UNABLE to start the %s thread: %s", name, e.what());
        return false;
    }
}

void WorkerThreads::threadMain(Work work)
{
    std::deque<std::function<void()>> successors;
    tSuccessors = &successors;
    for (;;) {
        tChainPool = work.chained ? this : nullptr;
        work.fn();
        tChainPool = nullptr;
        work.fn = nullptr; // what the work held goes now, not when the next arrives
        std::unique_lock lock(fMutex);
        // The count drops under the lock, so a waiter cannot miss the last wake-up.
        fLive.fetch_sub(1);
        fEnded.notify_all();
        if (!successors.empty()) {
            work = {std::move(successors.front()), true};
            successors.pop_front();
            continue;
        }
        ++fIdle;
        fWork.wait_for(lock, kIdleFor, [this] { return !fQueue.empty() || fClosing || fStopRequested; });
        --fIdle;
        if (fQueue.empty()) {
            --fThreads;
            fThreadGone.notify_all();
            return;
        }
        work = std::move(fQueue.front());
        fQueue.pop_front();
    }
}

int WorkerThreads::threadCount() const
{
    std::lock_guard lock(fMutex);
    return fThreads;
}

void WorkerThreads::requestStop()
{
    std::lock_guard lock(fMutex);
    fStopRequested = true;
    fStopping.notify_all();
    fWork.notify_all();
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
