#include "platform/ConsoleLog.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/time.h>
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
// second per thread.
void appendStamp(std::string& line)
{
    thread_local time_t tSecond = -1;
    thread_local char tDate[32];
    timeval tv{};
    gettimeofday(&tv, nullptr);
    if (tv.tv_sec != tSecond) {
        tm local{};
        localtime_r(&tv.tv_sec, &local);
        std::strftime(tDate, sizeof tDate, "%Y-%m-%d %H:%M:%S", &local);
        tSecond = tv.tv_sec;
    }
    char out[96];
    const int n = std::snprintf(out, sizeof out, "%s.%03ld quon[%d:%ld] ", tDate, static_cast<long>(tv.tv_usec / 1000),
                                processId(), threadId());
    line.append(out, n > 0 ? std::min(static_cast<size_t>(n), sizeof out - 1) : 0);
}

} // namespace

namespace ConsoleLog {

void write(std::string_view message)
{
    std::string line;
    line.reserve(message.size() + 64);
    appendStamp(line);
    line.append(message);
    if (line.back() != '\n')
        line.push_back('\n');
    writeRaw(line);
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
    // One write call per message keeps lines from different threads whole.
    const char* data = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, data, left);
        if (n <= 0)
            break;
        data += n;
        left -= static_cast<size_t>(n);
    }
}

void setObserver(std::function<void(const std::string&)> observer)
{
    std::lock_guard lock(gObserverMutex);
    gObserver = std::move(observer);
    gHasObserver.store(static_cast<bool>(gObserver), std::memory_order_release);
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
