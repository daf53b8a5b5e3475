#include "platform/ConsoleLog.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <new>
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

namespace {

std::mutex gObserverMutex;
std::function<void(const std::string&)> gObserver;
// Read without the lock on every line; the lock is taken only when one is set.
std::atomic<bool> gHasObserver{false};

// The process and thread ids of the stamp, taken once, not on every line.
std::atomic<int> gPid{0};
thread_local long tThreadId = 0;

void forgetIdsInChild()
{
    gPid = 0;
    tThreadId = 0;
}

int processId()
{
    int pid = gPid.load(std::memory_order_relaxed);
    if (pid == 0) {
        static std::once_flag registered;
        std::call_once(registered, [] { pthread_atfork(nullptr, nullptr, forgetIdsInChild); });
        pid = static_cast<int>(getpid());
        gPid.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

long threadId()
{
    if (tThreadId == 0)
        tThreadId = static_cast<long>(syscall(SYS_gettid));
    return tThreadId;
}

std::string vformat(const char* format, va_list args)
{
    char small[512];
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (needed <= 0)
        return {};
    if (static_cast<size_t>(needed) < sizeof small)
        return std::string(small, static_cast<size_t>(needed));
    std::string out(static_cast<size_t>(needed), '\0');
    std::vsnprintf(out.data(), out.size() + 1, format, args);
    return out;
}

// "2026-12-06 15:39:10.123 quon[pid:tid] "; the date part is formatted once a
// second per thread, the ids once per thread (again in a forked child).
void appendStamp(std::string& line)
{
    thread_local time_t tSecond = -1;
    thread_local char tDate[32];
    thread_local size_t tDateLength = 0;
    thread_local char tIds[64];
    thread_local size_t tIdsLength = 0;
    thread_local int tIdsPid = 0;
    timeval tv{};
    gettimeofday(&tv, nullptr);
    if (tv.tv_sec != tSecond) {
        tm local{};
        localtime_r(&tv.tv_sec, &local);
        tDateLength = std::strftime(tDate, sizeof tDate, "%Y-%m-%d %H:%M:%S", &local);
        tSecond = tv.tv_sec;
    }
    const int pid = processId();
    if (tIdsLength == 0 || tIdsPid != pid) {
        const int n = std::snprintf(tIds, sizeof tIds, " quon[%d:%ld] ", pid, threadId());
        tIdsLength = n > 0 ? std::min(static_cast<size_t>(n), sizeof tIds - 1) : 0;
        tIdsPid = pid;
    }
    const int millis = static_cast<int>(tv.tv_usec / 1000);
    const char fraction[4] = {'.', static_cast<char>('0' + millis / 100), static_cast<char>('0' + millis / 10 % 10),
                              static_cast<char>('0' + millis % 10)};
    line.append(tDate, tDateLength);
    line.append(fraction, sizeof fraction);
    line.append(tIds, tIdsLength);
}

void appendLine(std::string& out, std::string_view message, bool stamped)
{
    if (!stamped) {
        out.append(message);
        return;
    }
    appendStamp(out);
    out.append(message);
    if (message.empty() || message.back() != '\n')
        out.push_back('\n');
}

// Only write(2): also called from the crash handler.
void writeAll(const char* data, size_t left)
{
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, data, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        data += n;
        left -= static_cast<size_t>(n);
    }
}

// A burst of a photo's lines comes within a millisecond or two; waiting that
// long after the first line lets one write carry them all.
constexpr auto kGather = std::chrono::milliseconds(2);
// A writer this far behind is helped by the threads that add lines, so the
// queue cannot grow without bound.
constexpr size_t kWriteInline = 1024 * 1024;

// The queue of the batched writer. Never freed: detached threads may log
// while the process exits.
struct Queue {
    std::mutex writeMutex; // held while a batch goes out: batches keep their order
    std::mutex mutex;      // everything below
    std::condition_variable wake;
    std::string pending; // whole lines, in the order of their stamps
    std::string batch;   // the batch being written; owned by the holder of writeMutex
    bool running = false;
    bool stopping = false;
    bool wakeAsked = false;
    std::thread* thread = nullptr;
    // Who holds `mutex`, so a crash inside the log does not wait for itself.
    std::atomic<long> holder{0};
};

Queue& queue()
{
    static Queue* instance = new Queue;
    return *instance;
}

std::atomic<bool> gRunning{false};

// Moves everything queued into the file, in one write; the caller holds
// the write lock, so batches reach the file in the order they were taken.
void writeBatchHoldingWriteLock(Queue& q)
{
    {
        std::lock_guard lock(q.mutex);
        q.batch.swap(q.pending);
        q.wakeAsked = false;
    }
    writeAll(q.batch.data(), q.batch.size());
    q.batch.clear();
    if (q.batch.capacity() > 4 * kWriteInline)
        q.batch.shrink_to_fit();
}

void writeBatch()
{
    Queue& q = queue();
    std::lock_guard writeLock(q.writeMutex);
    writeBatchHoldingWriteLock(q);
}

void writerLoop()
{
    Queue& q = queue();
    for (;;) {
        {
            std::unique_lock lock(q.mutex);
            q.wake.wait(lock, [&] { return !q.pending.empty() || q.stopping; });
            if (q.pending.empty())
                return; // stopping, and nothing left
        }
        // The rest of the burst gathers meanwhile; nobody wakes the writer until it is written.
        std::this_thread::sleep_for(kGather);
        writeBatch();
    }
}

// Queues one message; false when the writer is not running (the caller then writes it itself).
bool enqueue(std::string_view message, bool stamped)
{
    if (!gRunning.load(std::memory_order_acquire))
        return false;
    Queue& q = queue();
    bool notify = false;
    size_t size = 0;
    {
        std::lock_guard lock(q.mutex);
        if (!q.running)
            return false;
        q.holder.store(threadId(), std::memory_order_relaxed);
        // Stamped under the lock, so the file's order is the stamps' order.
        appendLine(q.pending, message, stamped);
        size = q.pending.size();
        if (!q.wakeAsked) {
            q.wakeAsked = true;
            notify = true;
        }
        q.holder.store(0, std::memory_order_relaxed);
    }
    if (notify)
        q.wake.notify_one();
    if (size >= kWriteInline)
        writeBatch();
    return true;
}

void writeNow(std::string_view message, bool stamped)
{
    if (!stamped) {
        writeAll(message.data(), message.size());
        return;
    }
    std::string line;
    line.reserve(message.size() + 64);
    appendLine(line, message, true);
    writeAll(line.data(), line.size());
}

bool lockWithin(std::mutex& mutex, int milliseconds)
{
    for (int i = 0; i < milliseconds; ++i) {
        if (mutex.try_lock())
            return true;
        const timespec pause{0, 1000 * 1000};
        ::nanosleep(&pause, nullptr);
    }
    return mutex.try_lock();
}

// On a crash signal: what is queued goes into the file before the process
// ends. A batch being written is let finish first; a thread that crashed
// inside the log itself leaves the queue as it is.
void writeQueuedForCrash()
{
    if (!gRunning.load(std::memory_order_acquire))
        return;
    Queue& q = queue();
    const long self = static_cast<long>(::syscall(SYS_gettid));
    if (q.holder.load(std::memory_order_relaxed) == self)
        return;
    const bool haveWriteLock = lockWithin(q.writeMutex, 100);
    if (lockWithin(q.mutex, 100)) {
        writeAll(q.pending.data(), q.pending.size());
        q.pending.clear();
        q.mutex.unlock();
    }
    if (haveWriteLock)
        q.writeMutex.unlock();
}

constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
struct sigaction gPreviousActions[NSIG];

void onCrashSignal(int signal)
{
    const int savedErrno = errno;
    writeQueuedForCrash();
    // The previous handler (or the default action) takes the signal again.
    ::sigaction(signal, &gPreviousActions[signal], nullptr);
    ::raise(signal);
    errno = savedErrno;
}

void installCrashHandlers()
{
    for (const int signal : kCrashSignals) {
        struct sigaction action {};
        action.sa_handler = onCrashSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        ::sigaction(signal, &action, &gPreviousActions[signal]);
    }
}

// fork(): the parent's queued lines go out first and the child does not
// inherit them; the child, which has no writer thread, writes at once.
void beforeFork()
{
    Queue& q = queue();
    q.writeMutex.lock();
    q.mutex.lock();
    writeAll(q.pending.data(), q.pending.size());
    q.pending.clear();
}

void afterForkInParent()
{
    Queue& q = queue();
    q.mutex.unlock();
    q.writeMutex.unlock();
}

void afterForkInChild()
{
    Queue& q = queue();
    q.running = false;
    q.stopping = false;
    q.wakeAsked = false;
    q.thread = nullptr; // the parent's; it does not exist here
    q.holder.store(0);
    gRunning.store(false);
    new (&q.wake) std::condition_variable; // a waiter of the parent's may be counted in it
    q.mutex.unlock();
    q.writeMutex.unlock();
}

} // namespace

namespace ConsoleLog {

void write(std::string_view message)
{
    if (!enqueue(message, true))
        writeNow(message, true);
    if (!gHasObserver.load(std::memory_order_acquire))
        return;
    std::function<void(const std::string&)> observer;
    {
        std::lock_guard lock(gObserverMutex);
        observer = gObserver;
    }
    if (observer)
        observer(std::string(message));
}

void writef(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const std::string message = vformat(format, args);
    va_end(args);
    write(message);
}

void writeRaw(std::string_view text)
{
    if (text.empty())
        return;
    if (!enqueue(text, false))
        writeNow(text, false);
}

void setObserver(std::function<void(const std::string&)> observer)
{
    std::lock_guard lock(gObserverMutex);
    gObserver = std::move(observer);
    gHasObserver.store(static_cast<bool>(gObserver), std::memory_order_release);
}

void startWriter()
{
    static std::once_flag installed;
    std::call_once(installed, [] {
        pthread_atfork(beforeFork, afterForkInParent, afterForkInChild);
        std::atexit(stopWriter);
        installCrashHandlers();
    });
    Queue& q = queue();
    std::lock_guard lock(q.mutex);
    if (q.running)
        return;
    q.stopping = false;
    q.thread = new std::thread(writerLoop);
    q.running = true;
    gRunning.store(true, std::memory_order_release);
}

void stopWriter()
{
    Queue& q = queue();
    std::thread* thread = nullptr;
    {
        std::lock_guard lock(q.mutex);
        if (!q.running || q.stopping)
            return;
        q.stopping = true;
        thread = q.thread;
        q.thread = nullptr;
    }
    q.wake.notify_all();
    if (thread) {
        thread->join();
        delete thread;
    }
    {
        std::lock_guard lock(q.mutex);
        q.running = false;
        q.stopping = false;
        gRunning.store(false, std::memory_order_release);
    }
    writeBatch(); // lines added while the thread ended
}

bool writerRunning() { return gRunning.load(std::memory_order_acquire); }

void flush()
{
    if (gRunning.load(std::memory_order_acquire))
        writeBatch();
}

bool redirectStandardError(int fd)
{
    Queue& q = queue();
    std::lock_guard writeLock(q.writeMutex);
    writeBatchHoldingWriteLock(q);
    std::fflush(stderr);
    return ::dup2(fd, STDERR_FILENO) >= 0;
}

} // namespace ConsoleLog

void logInside(const char* className, const char* operation)
{
    ConsoleLog::writef("Inside %s => %s...", className, operation);
}

std::string stringWithFormat(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string out = vformat(format, args);
    va_end(args);
    return out;
}
