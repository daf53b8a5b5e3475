#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

// Starts the application's worker threads (scan, rescan request, watcher,
// pause wait, cleanup, order check) detached, as the process expects, while
// counting them, so that an owner that goes away before the process ends
// (tests, benchmarks) can ask them to stop and wait until the last has ended.
// The program itself never waits: it ends with its threads still running.
//
// A thread whose work is done stays a while, idle, and takes the next piece
// of work that starts: a photo's chain starts two (the rescan request, then
// the scan) and a thread start for each costs more than the hand-over. Work
// still never waits for other work: when no thread is idle, a new one starts.
//
// The upload chain's own work (a scan pass, a rescan request) starts its
// successor as its last step and then ends without waiting for anything. Such
// a successor, started with startNext, runs on the same thread as soon as its
// starter has ended: the thread that carried one photo goes straight on to the
// next request and pass, with no wake-up of another thread in between.
class WorkerThreads {
public:
    // How long a thread without work stays for more.
    static constexpr std::chrono::seconds kIdleFor{30};

    WorkerThreads() = default;
    // Waits for the idle threads to leave (and for running ones to end).
    ~WorkerThreads();
    WorkerThreads(const WorkerThreads&) = delete;
    WorkerThreads& operator=(const WorkerThreads&) = delete;

    // Runs fn on a detached thread of its own (a new one, or one left idle by
    // work that ended); false (and a log line naming
    // the thread) when the system refuses a thread or a stop was requested.
    bool start(const char* name, std::function<void()> fn);

    // Starts fn as chain work. Called from chain work of these threads, fn
    // runs on the caller's thread once the caller's work has ended (after any
    // successor started before it); called from anywhere else, it starts like
    // start(). The caller must end soon after: nothing it waits for may depend
    // on fn. False as for start().
    bool startNext(const char* name, std::function<void()> fn);

    // Asks every running thread to finish soon and starts no more: loops that
    // wait for something (a pause, a free open-file request) give up, and long
    // tasks stop between steps. Cannot be taken back.
    void requestStop();
    bool stopRequested() const { return fStopRequested.load(); }
    // A worker's pause between steps: sleeps for the time unless a stop is
    // requested first; false when stopping.
    bool sleepUnlessStopped(std::chrono::milliseconds time);

    // Work started and not yet ended.
    int liveCount() const { return fLive.load(); }
    // Threads in all, running or idle.
    int threadCount() const;

    // Waits until every piece of work has ended, at most milliseconds when that is
    // not negative; true when none is left.
    bool waitForAll(int milliseconds = -1);

private:
    struct Work {
        std::function<void()> fn;
        bool chained = false; // may start its successor on its own thread
    };
    bool startWork(const char* name, Work work);
    void threadMain(Work work);

    std::atomic<bool> fStopRequested{false};
    std::atomic<int> fLive{0};
    mutable std::mutex fMutex;
    std::condition_variable fEnded;
    std::condition_variable fStopping;
    // Work handed to idle threads, and the threads.
    std::deque<Work> fQueue;
    std::condition_variable fWork;
    std::condition_variable fThreadGone;
    int fIdle = 0;
    int fThreads = 0;
    bool fClosing = false;
};
