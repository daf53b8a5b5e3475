#pragma once

#include "platform/NotificationCenter.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

class QEventLoop;
class QTimer;

// The source folder watcher: inotify over a whole folder tree, run on the
// thread that calls doInstallTheWatcher inside an event loop of its own.
//
// Changes are gathered into batches. A batch is delivered once the tree has
// been quiet for the latency, and at the latest the flush interval after its
// first change; each batch posts "WatcherItemChanged" once. Every post starts
// a full rescan, so a card of photos copied in must not post once per file.
//
// Sub-folders get watches as they appear (a folder copied or moved in whole
// counts as a change together with what it already holds) and lose them when
// they are removed or moved away. Whatever leaves part of the tree unwatched
// (the kernel's watch limit, a queue overflow, the folder itself gone) is
// logged and handed to the problem reporter; the rescan timer covers the gap.
class FolderWatcher {
public:
    struct Timing {
        std::chrono::milliseconds latency{1000};
        std::chrono::milliseconds flushInterval{3000};
        // How often a missing source folder is looked for again.
        std::chrono::milliseconds reinstallInterval{3000};
    };

    // The user info of "WatcherStarted": the watcher's event loop, as an
    // opaque handle that is valid while the watcher runs.
    struct StartedInfo : NotificationInfo {
        void* CFRunLoopRef = nullptr;
        std::string describe() const override;
    };

    // Called on the watcher thread with a line for the operator.
    using ProblemReporter = std::function<void(const std::string&)>;

    // The production timing: a 1 s latency and a 3 s flush.
    explicit FolderWatcher(NotificationCenter& center);
    FolderWatcher(NotificationCenter& center, Timing timing);
    // Stops a running watcher (bounded) first.
    ~FolderWatcher();
    FolderWatcher(const FolderWatcher&) = delete;
    FolderWatcher& operator=(const FolderWatcher&) = delete;

    // Watches folder and everything below it from the calling thread until
    // stop(): posts "WatcherStarted", then "WatcherItemChanged" per batch.
    // A folder that is missing (or goes away) is watched again once it is
    // back. Returns false at once when inotify cannot be set up, so nothing
    // was installed; true when it ended by stop(), also a stop() that came
    // before the call. One call at a time per object.
    bool doInstallTheWatcher(const std::string& folder, ProblemReporter reportProblem = {});

    // Any thread; may come before doInstallTheWatcher, which then returns at
    // once. Waits up to timeout for doInstallTheWatcher to return (not when
    // called from the watcher thread itself) and says whether it has.
    bool stop(std::chrono::milliseconds timeout = std::chrono::seconds(5));

    bool isRunning() const;
    // Folders under watch right now.
    size_t watchedFolderCount() const { return fWatchedCount.load(); }

private:
    struct WalkResult {
        bool foundEntries = false;
        int refusedForLimit = 0; // ENOSPC: the kernel's watch limit
        std::string firstRefused;
        int refusedOther = 0;
    };

    void runLoop();
    bool installRoot();
    WalkResult addTree(const std::string& top);
    int addWatch(const std::string& path, bool isRoot, WalkResult& result);
    void dropTree(const std::string& top);
    void dropAllWatches();
    void readEvents();
    void handleEvent(int wd, uint32_t mask, const char* name);
    void handleOverflow();
    void rootLost(const std::string& why);
    void reportWalkProblems(const std::string& top, const WalkResult& result);
    void reportProblem(const std::string& text);
    void noteChange();
    void flush();
    void updateCount() { fWatchedCount = fWatches.size(); }

    NotificationCenter& fCenter;
    const Timing fTiming;

    // Shared with stop().
    mutable std::mutex fStateMutex;
    std::condition_variable fStateChanged;
    bool fStopRequested = false;
    bool fRunning = false;
    std::thread::id fWatcherThread;
    QEventLoop* fLoop = nullptr;

    // The watcher thread's own, valid while doInstallTheWatcher runs.
    std::string fRoot;
    int fFd = -1;
    int fRootWatch = -1;
    std::unordered_map<int, std::string> fWatches; // watch descriptor -> folder
    bool fPending = false;
    std::string fLastProblem;
    ProblemReporter fReportProblem;
    QTimer* fQuietTimer = nullptr;
    QTimer* fFlushTimer = nullptr;
    QTimer* fReinstallTimer = nullptr;
    std::atomic<size_t> fWatchedCount{0};
};
