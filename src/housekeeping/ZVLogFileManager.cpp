#include "housekeeping/ZVLogFileManager.h"

#include "platform/AppPaths.h"
#include "platform/ConsoleLog.h"
#include "platform/FileUtil.h"
#include "platform/TextUtil.h"
#include "util/ShellScript.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#ifndef QUON_VERSION
#define QUON_VERSION "0.0.0"
#endif

namespace {

using namespace std::chrono;

constexpr const char* kApplicationName = "quon-uploader";
constexpr const char* kDefaultBaseName = "QuonLogFile";
constexpr const char* kLogExtension = "log";
constexpr int kDayTurnHour = 3;

struct State {
    std::mutex mutex;
    std::string logFolder;
    ZVLogFileManager::Clock clock;
    std::string currentPath;
    std::optional<std::string> setupProblem;
    QPointer<QTimer> dayTimer;
};

State& state()
{
    static State instance;
    return instance;
}

tm localTime(ZVLogFileManager::TimePoint when)
{
    const time_t seconds = system_clock::to_time_t(when);
    tm local{};
    tzset();
    localtime_r(&seconds, &local);
    return local;
}

// Points standard error at the file in one step (dup2), so no other thread
// ever sees it closed; the file is only the user's.
bool redirectStandardError(const std::string& path, std::string& error)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    ::fchmod(fd, 0600);
    // Lines already queued for the old place go there first.
    const bool moved = ConsoleLog::redirectStandardError(fd);
    if (!moved)
        error = std::strerror(errno);
    ::close(fd);
    return moved;
}

void writeHeader()
{
    const std::string rule(59, '=');
    ConsoleLog::write(rule);
    ConsoleLog::write(ZVLogFileManager::hostModelAndArch().value_or("(null)"));
    const auto release = runShellScript2("/bin/uname", std::vector<std::string>{"-r"});
    const std::string version = release ? TextUtil::trimmed(*release) : std::string();
    if (version.empty())
        ConsoleLog::write("runShellScript2 failed to get the kernel release???");
    else
        ConsoleLog::writef("Linux kernel: v%s", version.c_str());
    ConsoleLog::writef("%s => %s", ZVLogFileManager::getCopyrightInfo().c_str(),
                       ZVLogFileManager::getApplicationName().c_str());
    ConsoleLog::write(rule);
}

// Creates the folder and moves standard error onto the day's file. False
// (standard error untouched) when the folder or the file cannot be had.
bool openDailyLog(ZVLogFileManager::TimePoint when)
{
    const std::string folder = ZVLogFileManager::logFolder();
    std::string error;
    if (!FileUtil::makeFolders(folder, 0700, &error))
        ConsoleLog::writef("createDirectoryAtPath returned error: %s", error.c_str());
    if (!FileUtil::isDirectory(folder)) {
        const std::string problem =
            "The log folder " + folder + " cannot be made; the console log stays on standard error";
        ConsoleLog::write(problem);
        std::lock_guard lock(state().mutex);
        state().setupProblem = problem;
        return false;
    }
    const std::string path = ZVLogFileManager::logFilePathFor(when);
    ConsoleLog::writef("Trying to freopen logFilePath[%s]", path.c_str());
    if (!redirectStandardError(path, error)) {
        const std::string problem =
            "The daily log " + path + " cannot be opened (" + error + "); the console log stays on standard error";
        ConsoleLog::write(problem);
        std::lock_guard lock(state().mutex);
        state().setupProblem = problem;
        return false;
    }
    {
        std::lock_guard lock(state().mutex);
        state().currentPath = path;
    }
    writeHeader();
    return true;
}

void armDayTimer()
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() != app->thread())
        return;
    const auto firstLook = ZVLogFileManager::timeUntilNextLook();
    std::lock_guard lock(state().mutex);
    if (state().dayTimer)
        return;
    auto* timer = new QTimer(app);
    timer->setSingleShot(true);
    QObject::connect(timer, &QTimer::timeout, timer, [timer] {
        ZVLogFileManager::rotateIfDayTurned();
        timer->start(ZVLogFileManager::timeUntilNextLook());
    });
    state().dayTimer = timer;
    timer->start(firstLook);
}

} // namespace

void ZVLogFileManager::setLogFolder(std::string folder)
{
    std::lock_guard lock(state().mutex);
    state().logFolder = std::move(folder);
}

std::string ZVLogFileManager::logFolder()
{
    std::lock_guard lock(state().mutex);
    return state().logFolder.empty() ? AppPaths::logRoot() + "/Quon" : state().logFolder;
}

void ZVLogFileManager::setClock(Clock now)
{
    std::lock_guard lock(state().mutex);
    state().clock = std::move(now);
}

ZVLogFileManager::TimePoint ZVLogFileManager::now()
{
    Clock clock;
    {
        std::lock_guard lock(state().mutex);
        clock = state().clock;
    }
    return clock ? clock() : system_clock::now();
}

void ZVLogFileManager::reset()
{
    std::lock_guard lock(state().mutex);
    state().logFolder.clear();
    state().clock = nullptr;
    state().currentPath.clear();
    state().setupProblem.reset();
    delete state().dayTimer.data();
}

bool ZVLogFileManager::setupLogFile()
{
    logInside("ZVLogFileManager", "setupLogFile");
    if (openDailyLog(now()))
        armDayTimer();
    return true;
}

std::optional<std::string> ZVLogFileManager::takeSetupProblem()
{
    std::lock_guard lock(state().mutex);
    std::optional<std::string> problem;
    problem.swap(state().setupProblem);
    return problem;
}

std::string ZVLogFileManager::currentLogFilePath()
{
    std::lock_guard lock(state().mutex);
    return state().currentPath;
}

std::string ZVLogFileManager::computeCurrentDaysFolderString2(TimePoint when, int hours, int minutes)
{
    const tm local = localTime(when - std::chrono::hours(hours) - std::chrono::minutes(minutes));
    char text[16];
    std::strftime(text, sizeof text, "%Y_%m_%d", &local);
    return text;
}

std::string ZVLogFileManager::logFilePathFor(TimePoint when)
{
    const std::string name = getApplicationName();
    const std::string base = FileUtil::joinPath(logFolder(), name.empty() ? kDefaultBaseName : name);
    return base + "_" + computeCurrentDaysFolderString2(when, kDayTurnHour, 0) + "." + kLogExtension;
}

bool ZVLogFileManager::rotateIfDayTurned()
{
    const std::string current = currentLogFilePath();
    if (current.empty())
        return false;
    const TimePoint when = now();
    const std::string next = logFilePathFor(when);
    if (next == current)
        return false;
    ConsoleLog::writef("The day turned; the console log goes on in %s", next.c_str());
    if (!openDailyLog(when))
        return false;
    ConsoleLog::writef("Continued from %s", current.c_str());
    deleteOldLogs();
    return true;
}

std::chrono::milliseconds ZVLogFileManager::timeUntilNextLook()
{
    const TimePoint from = now();
    tm turn = localTime(from);
    turn.tm_hour = kDayTurnHour;
    turn.tm_min = 0;
    turn.tm_sec = 0;
    turn.tm_isdst = -1;
    TimePoint next = system_clock::from_time_t(std::mktime(&turn));
    if (next <= from) {
        turn = localTime(from);
        turn.tm_mday += 1;
        turn.tm_hour = kDayTurnHour;
        turn.tm_min = 0;
        turn.tm_sec = 0;
        turn.tm_isdst = -1;
        next = system_clock::from_time_t(std::mktime(&turn));
    }
    const auto until = duration_cast<milliseconds>(next - from);
    return std::clamp(until, milliseconds(1), milliseconds(hours(1)));
}

std::string ZVLogFileManager::logDateString()
{
    const TimePoint when = now();
    const tm local = localTime(when);
    char date[32];
    char zone[8];
    std::strftime(date, sizeof date, "%Y/%m/%d %H:%M:%S", &local);
    std::strftime(zone, sizeof zone, "%z", &local);
    const auto millis = duration_cast<milliseconds>(when.time_since_epoch()).count() % 1000;
    return stringWithFormat("[%s.%03lld %s]", date, static_cast<long long>(millis < 0 ? millis + 1000 : millis), zone);
}

std::string ZVLogFileManager::getApplicationName() { return FileUtil::pathWithoutExtension(kApplicationName); }

std::string ZVLogFileManager::getCopyrightInfo() { return std::string("v") + QUON_VERSION; }

std::optional<std::string> ZVLogFileManager::hostModelAndArch()
{
    utsname names{};
    if (::uname(&names) != 0)
        return std::nullopt;
    std::string model;
    FileUtil::readFile("/sys/devices/virtual/dmi/id/product_name", model);
    model = TextUtil::trimmed(model);
    if (model.empty())
        model = names.sysname;
    return model + " (" + names.machine + ")";
}

void ZVLogFileManager::debug(const std::string& text)
{
    if (currentLogFilePath().empty())
        return;
    ConsoleLog::writeRaw("D " + logDateString() + " " + text + "\n");
}

void myPrintf(const std::string& text)
{
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

void myPrintfDebug(const std::string& text) { myPrintf(text); }
