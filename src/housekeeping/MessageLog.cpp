#include "housekeeping/MessageLog.h"

#include "platform/AppPaths.h"
#include "platform/ConsoleLog.h"
#include "platform/FileUtil.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <unistd.h>

namespace {

std::mutex gLogMutex;
FILE* gLogFile = nullptr;
std::string gLogPath;

std::string defaultRunLogPath()
{
    const std::string name = "quon-uploaderLog.txt";
    const std::string besideProgram = AppPaths::executableFolder();
    if (::access(besideProgram.c_str(), W_OK) == 0)
        return besideProgram + "/" + name;
    FileUtil::makeFolders(AppPaths::logRoot(), 0700);
    return AppPaths::logRoot() + "/" + name;
}

} // namespace

bool MessageLog::InitLog(const std::string& path)
{
    std::lock_guard lock(gLogMutex);
    if (gLogFile)
        std::fclose(gLogFile);
    gLogPath = path.empty() ? defaultRunLogPath() : path;
    // The run log may quote settings, so only the user reads it.
    const int fd = ::open(gLogPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    gLogFile = fd >= 0 ? ::fdopen(fd, "w") : nullptr;
    if (!gLogFile) {
        if (fd >= 0)
            ::close(fd);
        ConsoleLog::writef("Could not open the run log %s", gLogPath.c_str());
        return false;
    }
    return true;
}

void MessageLog::LogMessage(const std::string& text, bool echo)
{
    if (echo)
        ConsoleLog::writef("NSLog = %s", text.c_str());
    std::lock_guard lock(gLogMutex);
    if (!gLogFile) {
        ConsoleLog::write("Logfile may be closed already?????");
        return;
    }
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char when[64];
    asctime_r(&local, when);
    std::string stamp(when);
    if (!stamp.empty() && stamp.back() == '\n')
        stamp.pop_back();
    std::fprintf(gLogFile, "[%s] ==> %s\n", stamp.c_str(), text.c_str());
    std::fflush(gLogFile);
}

void MessageLog::CloseLog()
{
    std::lock_guard lock(gLogMutex);
    if (gLogFile)
        std::fclose(gLogFile);
    gLogFile = nullptr;
}

std::string MessageLog::logPath()
{
    std::lock_guard lock(gLogMutex);
    return gLogPath;
}

void myNSLog(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(needed > 0 ? static_cast<size_t>(needed) : 0, '\0');
    if (needed > 0)
        std::vsnprintf(text.data(), text.size() + 1, format, args);
    va_end(args);
    ConsoleLog::write(text);
    MessageLog::LogMessage(text.size() && text.back() == '\n' ? text.substr(0, text.size() - 1) : text);
}
