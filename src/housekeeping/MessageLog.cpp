#include "housekeeping/MessageLog.h"

#include "platform/AppPaths.h"
#include "platform/ConsoleLog.h"
#include "platform/FileUtil.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <unistd.h>

namespace {

std::mutex gLogMutex;
FILE* gLogFile = nullptr;
std::string gLogPath;

// A program started from its build tree keeps its run log beside it; an
// installed one (in /usr/bin, say, which root could write to) uses the log root.
bool runsFromBuildTree()
{
    const std::string programs = AppPaths::executableFolder();
    return FileUtil::exists(FileUtil::joinPath(FileUtil::parentFolder(programs), "CMakeCache.txt")) &&
        ::access(programs.c_str(), W_OK) == 0;
}

} // namespace

bool MessageLog::InitLog(const std::string& path)
{
    std::lock_guard lock(gLogMutex);
    if (gLogFile)
        std::fclose(gLogFile);
    gLogPath = path.empty() ? MessageLog::defaultLogPath() : path;
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

std::string MessageLog::defaultLogPath()
{
    const std::string name = "quon-uploaderLog.txt";
    // A log root chosen for this run (as the tests do) takes the run log too.
    const char* chosenRoot = std::getenv("QUON_LOG_ROOT");
    if (runsFromBuildTree() && !(chosenRoot && *chosenRoot))
        return FileUtil::joinPath(AppPaths::executableFolder(), name);
    FileUtil::makeFolders(AppPaths::logRoot(), 0700);
    return FileUtil::joinPath(AppPaths::logRoot(), name);
}

void myNSLog(const char* format, ...)
{
    // A format without a final line end gets one; one that has it gets no second.
    std::string withLineEnd = format;
    if (withLineEnd.empty() || withLineEnd.back() != '\n')
        withLineEnd.push_back('\n');
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(nullptr, 0, withLineEnd.c_str(), copy);
    va_end(copy);
    std::string text(needed > 0 ? static_cast<size_t>(needed) : 0, '\0');
    if (needed > 0)
        std::vsnprintf(text.data(), text.size() + 1, withLineEnd.c_str(), args);
    va_end(args);
    ConsoleLog::write(text);
    // The run log ends each line itself.
    MessageLog::LogMessage(text.substr(0, text.empty() ? 0 : text.size() - 1));
}
