#include "app/FolderWatcher.h"

#include "app/Notifications.h"
#include "platform/ConsoleLog.h"
#include "platform/FileUtil.h"

#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <filesystem>
#include <sys/inotify.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace {

// Anything that changes what a folder holds. Plain reads and opens are left
// out, so a scan reading the photos does not wake the watcher again; writes
// count once, when the file is closed.
constexpr uint32_t kWatchMask = IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE | IN_ATTRIB |
    IN_DELETE_SELF | IN_MOVE_SELF | IN_EXCL_UNLINK | IN_ONLYDIR;

std::string errorText(int error) { return std::error_code(error, std::generic_category()).message(); }

bool isInside(const std::string& path, const std::string& top)
{
    return path.size() >= top.size() && path.compare(0, top.size(), top) == 0 &&
        (path.size() == top.size() || path[top.size()] == '/');
}

} // namespace

std::string FolderWatcher::StartedInfo::describe() const
{
    return stringWithFormat("{CFRunLoopRef = %p}", CFRunLoopRef);
}

FolderWatcher::FolderWatcher(NotificationCenter& center) : FolderWatcher(center, Timing{}) { }

FolderWatcher::FolderWatcher(NotificationCenter& center, Timing timing) : fCenter(center), fTiming(timing) { }

FolderWatcher::~FolderWatcher()
{
    if (!stop())
        ConsoleLog::write("FolderWatcher destroyed while its thread is still running");
}

bool FolderWatcher::isRunning() const
{
    std::lock_guard lock(fStateMutex);
    return fRunning;
}

bool FolderWatcher::stop(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(fStateMutex);
    fStopRequested = true;
    if (fLoop)
        QMetaObject::invokeMethod(
            fLoop, [loop = fLoop] { loop->quit(); }, Qt::QueuedConnection);
    if (!fRunning)
        return true;
    if (fWatcherThread == std::this_thread::get_id())
        return false; // a handler on the watcher thread: the loop ends once it returns
    return fStateChanged.wait_for(lock, timeout, [this] { return !fRunning; });
}

bool FolderWatcher::doInstallTheWatcher(const std::string& folder, ProblemReporter reporter)
{
    {
        std::lock_guard lock(fStateMutex);
        if (fRunning) {
            ConsoleLog::writef("The folder watcher already runs; not watching [%s] as well", folder.c_str());
            return false;
        }
        if (fStopRequested)
            return true;
        fRunning = true;
        fWatcherThread = std::this_thread::get_id();
    }
    fReportProblem = std::move(reporter);
    fRoot = folder;
    while (fRoot.size() > 1 && fRoot.back() == '/')
        fRoot.pop_back();
    fLastProblem.clear();
    fPending = false;

    bool installed = false;
    fFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fFd < 0) {
        const int error = errno;
        reportProblem(stringWithFormat("Cannot watch the source folder [%s] for new photos: %s (the limit is "
                                       "fs.inotify.max_user_instances). New photos are found by the rescan timer.",
                                       fRoot.c_str(), errorText(error).c_str()));
    } else {
        installed = true;
        runLoop();
        ::close(fFd);
        fFd = -1;
    }
    fReportProblem = {};

    std::lock_guard lock(fStateMutex);
    fRunning = false;
    fWatcherThread = {};
    fStateChanged.notify_all(); // under the lock: a waiting destructor must not free it first
    return installed;
}

void FolderWatcher::runLoop()
{
    QEventLoop loop; // first, so this thread has an event dispatcher for what follows
    QSocketNotifier notifier(fFd, QSocketNotifier::Read);
    QTimer quiet;
    QTimer flushDeadline;
    QTimer reinstall;
    quiet.setSingleShot(true);
    quiet.setInterval(fTiming.latency);
    flushDeadline.setSingleShot(true);
    flushDeadline.setInterval(fTiming.flushInterval);
    reinstall.setInterval(fTiming.reinstallInterval);
    fQuietTimer = &quiet;
    fFlushTimer = &flushDeadline;
    fReinstallTimer = &reinstall;
    QObject::connect(&notifier, &QSocketNotifier::activated, &loop, [this] { readEvents(); });
    QObject::connect(&quiet, &QTimer::timeout, &loop, [this] { flush(); });
    QObject::connect(&flushDeadline, &QTimer::timeout, &loop, [this] { flush(); });
    QObject::connect(&reinstall, &QTimer::timeout, &loop, [this] {
        if (!installRoot())
            return;
        fReinstallTimer->stop();
        fLastProblem.clear();
        ConsoleLog::writef("Watching the source folder [%s] again", fRoot.c_str());
        noteChange(); // whatever it holds now is new to us
    });

    if (!installRoot())
        rootLost(FileUtil::exists(fRoot) ? "cannot be watched" : "does not exist");

    bool run = false;
    {
        std::lock_guard lock(fStateMutex);
        if (!fStopRequested) {
            fLoop = &loop;
            run = true;
        }
    }
    if (run) {
        auto info = std::make_shared<StartedInfo>();
        info->CFRunLoopRef = &loop;
        fCenter.post(cNotification_WatcherStarted, nullptr, info);
        ConsoleLog::writef("doInstallTheWatcher is running inside NSRunLoop = %p\n", static_cast<void*>(&loop));
        loop.exec();
        ConsoleLog::write("Done With CFRunLoopRun inside doInstallTheWatcher...");
        std::lock_guard lock(fStateMutex);
        fLoop = nullptr;
    }

    dropAllWatches();
    fQuietTimer = nullptr;
    fFlushTimer = nullptr;
    fReinstallTimer = nullptr;
}

// ---------------------------------------------------------------- watches

bool FolderWatcher::installRoot()
{
    if (!FileUtil::isDirectory(fRoot))
        return false;
    const WalkResult result = addTree(fRoot);
    reportWalkProblems(fRoot, result);
    if (fRootWatch >= 0)
        ConsoleLog::writef("Watching %zu folder(s) in [%s]", fWatches.size(), fRoot.c_str());
    return fRootWatch >= 0;
}

FolderWatcher::WalkResult FolderWatcher::addTree(const std::string& top)
{
    // Each folder is watched before it is listed: what appears after the
    // watch is an event, what was there before is in the listing.
    WalkResult result;
    std::vector<std::string> folders{top};
    while (!folders.empty()) {
        const std::string folder = std::move(folders.back());
        folders.pop_back();
        if (addWatch(folder, folder == fRoot, result) < 0)
            continue;
        std::error_code error;
        for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
            result.foundEntries = true;
            std::error_code typeError;
            // A link to a folder elsewhere is not part of the tree.
            if (it->symlink_status(typeError).type() == std::filesystem::file_type::directory)
                folders.push_back(it->path().string());
        }
    }
    return result;
}

int FolderWatcher::addWatch(const std::string& path, bool isRoot, WalkResult& result)
{
    // The source folder itself may be a link; folders below it are taken as they are.
    const int wd = ::inotify_add_watch(fFd, path.c_str(), kWatchMask | (isRoot ? 0 : IN_DONT_FOLLOW));
    if (wd >= 0) {
        fWatches[wd] = path; // an already watched folder keeps its descriptor
        if (isRoot)
            fRootWatch = wd;
        updateCount();
        return wd;
    }
    const int error = errno;
    if (error == ENOENT || error == ENOTDIR)
        return -1; // gone again before we got to it; its removal is an event of its own
    if (error == ENOSPC) {
        if (result.refusedForLimit++ == 0)
            result.firstRefused = path;
    } else {
        ++result.refusedOther;
        ConsoleLog::writef("UNABLE to watch folder [%s]: %s", path.c_str(), errorText(error).c_str());
    }
    return -1;
}

void FolderWatcher::dropTree(const std::string& top)
{
    std::vector<int> gone;
    for (const auto& [wd, path] : fWatches)
        if (isInside(path, top))
            gone.push_back(wd);
    for (const int wd : gone) {
        ::inotify_rm_watch(fFd, wd);
        fWatches.erase(wd);
    }
    updateCount();
}

void FolderWatcher::dropAllWatches()
{
    for (const auto& [wd, path] : fWatches)
        ::inotify_rm_watch(fFd, wd);
    fWatches.clear();
    fRootWatch = -1;
    updateCount();
}

// ---------------------------------------------------------------- events

void FolderWatcher::readEvents()
{
    alignas(inotify_event) char buffer[64 * 1024];
    for (;;) {
        const ssize_t length = ::read(fFd, buffer, sizeof buffer);
        if (length < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN)
                ConsoleLog::writef("Reading folder events failed: %s", errorText(errno).c_str());
            return;
        }
        if (length == 0)
            return;
        for (const char* at = buffer; at < buffer + length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(at);
            handleEvent(event->wd, event->mask, event->len > 0 ? event->name : "");
            at += sizeof(inotify_event) + event->len;
        }
    }
}

void FolderWatcher::handleEvent(int wd, uint32_t mask, const char* name)
{
    if (mask & IN_Q_OVERFLOW) {
        handleOverflow();
        return;
    }
    const auto found = fWatches.find(wd);
    if (found == fWatches.end())
        return; // a folder dropped a moment ago
    const std::string folder = found->second;
    if (mask & IN_IGNORED) {
        fWatches.erase(found);
        updateCount();
        if (wd == fRootWatch) {
            fRootWatch = -1;
            rootLost("was removed");
            noteChange();
        }
        return;
    }
    if (mask & IN_MOVE_SELF) {
        // A sub-folder's move is handled at its parent; the source folder itself has no parent here.
        if (wd == fRootWatch) {
            rootLost("was moved away");
            noteChange();
        }
        return;
    }
    if (mask & IN_DELETE_SELF)
        return; // the parent reports it, and IN_IGNORED follows
    const std::string path = *name ? folder + "/" + name : folder;
    if (mask & IN_ISDIR) {
        if (mask & IN_MOVED_FROM)
            dropTree(path); // its watches would follow it wherever it went
        if (mask & (IN_CREATE | IN_MOVED_TO))
            reportWalkProblems(path, addTree(path));
    }
    noteChange();
}

void FolderWatcher::handleOverflow()
{
    ConsoleLog::write("REALLY BAD NEWS! The kernel dropped events.");
    ConsoleLog::write("Forcing a full rescan.");
    reportProblem(stringWithFormat("Folder events were lost (the inotify queue overflowed, see "
                                   "fs.inotify.max_queued_events) while watching [%s]; rescanning the whole folder.",
                                   fRoot.c_str()));
    // The lost events may have been new or removed sub-folders: watch the tree afresh.
    if (fRootWatch >= 0) {
        dropAllWatches();
        if (!installRoot())
            rootLost(FileUtil::exists(fRoot) ? "cannot be watched" : "was removed");
    }
    noteChange();
}

void FolderWatcher::rootLost(const std::string& why)
{
    dropAllWatches();
    reportProblem(stringWithFormat("The source folder [%s] %s. New photos are found by the rescan timer until it "
                                   "can be watched again.",
                                   fRoot.c_str(), why.c_str()));
    fReinstallTimer->start();
}

void FolderWatcher::reportWalkProblems(const std::string& top, const WalkResult& result)
{
    // A folder that cannot be watched is not walked into, so its sub-folders go unwatched too.
    const char* limit = "the system's limit of inotify watches (fs.inotify.max_user_watches) is reached. New photos "
                        "there are found by the rescan timer.";
    if (result.refusedForLimit == 1)
        reportProblem(stringWithFormat("Cannot watch the folder [%s] or anything inside it: %s",
                                       result.firstRefused.c_str(), limit));
    else if (result.refusedForLimit > 1)
        reportProblem(stringWithFormat("Cannot watch %d folders in [%s] (the first [%s]) or anything inside them: %s",
                                       result.refusedForLimit, top.c_str(), result.firstRefused.c_str(), limit));
    if (result.refusedOther > 0)
        reportProblem(stringWithFormat("Cannot watch %d folder(s) in [%s] (the log names them and why). New photos "
                                       "there are found by the rescan timer.",
                                       result.refusedOther, top.c_str()));
}

void FolderWatcher::reportProblem(const std::string& text)
{
    // While the source folder is awaited, each attempt would say the same again.
    if (fReinstallTimer && fReinstallTimer->isActive() && text == fLastProblem)
        return;
    fLastProblem = text;
    ConsoleLog::write(text);
    if (fReportProblem)
        fReportProblem(text);
}

// ---------------------------------------------------------------- batches

void FolderWatcher::noteChange()
{
    fPending = true;
    fQuietTimer->start(); // restarts: the batch goes out once the tree is quiet...
    if (!fFlushTimer->isActive())
        fFlushTimer->start(); // ...or at the latest this long after its first change
}

void FolderWatcher::flush()
{
    fQuietTimer->stop();
    fFlushTimer->stop();
    if (!fPending)
        return;
    fPending = false;
    ConsoleLog::write("=====>>>>  FOUND EVENT Inside fsevents_callback  <<<<<=======");
    fCenter.post(cNotification_WatcherItemChanged);
}
