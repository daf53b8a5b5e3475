#include "platform/ConsoleLog.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

std::mutex gObserverMutex;
std::function<void(const std::string&)> gObserver;

std::string vformat(const char* format, va_list args)
{
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (needed <= 0)
        return {};
    std::string out(static_cast<size_t>(needed), '\0');
    std::vsnprintf(out.data(), out.size() + 1, format, args);
    return out;
}

std::string stamp()
{
    timeval tv{};
    gettimeofday(&tv, nullptr);
    tm local{};
    localtime_r(&tv.tv_sec, &local);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &local);
    char out[96];
    std::snprintf(out, sizeof out, "%s.%03ld quon[%d:%ld] ", date, static_cast<long>(tv.tv_usec / 1000),
                  static_cast<int>(getpid()), static_cast<long>(syscall(SYS_gettid)));
    return out;
}

} // namespace

namespace ConsoleLog {

void write(std::string_view message)
{
    std::string line = stamp();
    line.append(message);
    if (line.empty() || line.back() != '\n')
        line.push_back('\n');
    writeRaw(line);
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
