#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

// Starts the application's worker threads (scan, rescan request, watcher,
// pause wait, cleanup, order check) detached, as the process expects, while
// counting them, so that an owner that goes away before the process ends
// (tests, benchmarks) can ask them to stop and wait until the last has ended.
// The program itself never waits: it ends with its threads still running.
class WorkerThreads {
public:
    WorkerThreads() = default;
    WorkerThreads(const WorkerThreads&) = delete;
    WorkerThreads& operator=(const WorkerThreads&) = delete;

    // Starts fn on a detached thread of its own; false (and a log line naming
    // the thread) when the system refuses a thread or a stop was requested.
    bool start(const char* name, std::function<void()> fn);

    // Asks every running thread to finish soon and starts no more: loops that
    // wait for something (a pause, a free open-file request) give up, and long
    // tasks stop between steps. Cannot be taken back.
    void requestStop();
    bool stopRequested() const { return fStopRequested.load(); }
    // A worker's pause between steps: sleeps for the time unless a stop is
    // requested first; false when stopping.
    bool sleepUnlessStopped(std::chrono::milliseconds time);

    // Threads started and not yet ended.
    int liveCount() const { return fLive.load(); }

    // Waits until every thread has ended, at most milliseconds when that is
    // not negative; true when none is left.
    bool waitForAll(int milliseconds = -1);

private:
    void threadEnded();

    std::atomic<bool> fStopRequested{false};
    std::atomic<int> fLive{0};
    std::mutex fMutex;
    std::condition_variable fEnded;
    std::condition_variable fStopping;
};
