#include "housekeeping/ZVLogFileManager.h"
#include "TestSupport.h"

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono;
using TestSupport::createFileWithContents;
using TestSupport::readWholeFile;

namespace {

system_clock::time_point utc(int y, unsigned m, unsigned d, int hh, int mm, int ss, int ms = 0)
{
    return system_clock::time_point(sys_days(year(y) / month(m) / day(d)) + hours(hh) + minutes(mm) + seconds(ss) +
                                    milliseconds(ms));
}

void setModified(const std::string& path, system_clock::time_point when)
{
    const auto since = duration_cast<seconds>(when.time_since_epoch()).count();
    const timespec times[2] = {{since, 0}, {since, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

mode_t modeOf(const std::string& path)
{
    struct stat info { };
    ::stat(path.c_str(), &info);
    return info.st_mode & 07777;
}

} // namespace

// Each test gets its own log folder and a clock it drives; standard error
// and the time zone are put back afterwards.
class DailyLog : public StoreSandboxTest {
protected:
    void SetUp() override
    {
        StoreSandboxTest::SetUp();
        fSavedStderr = ::dup(STDERR_FILENO);
        if (const char* tz = std::getenv("TZ"))
            fSavedZone = tz;
        ::setenv("TZ", "UTC0", 1);
        ::tzset();
        ZVLogFileManager::setLogFolder(folder());
        ZVLogFileManager::setClock([this] { return fNow.load(); });
    }
    void TearDown() override
    {
        std::fflush(stderr);
        ::dup2(fSavedStderr, STDERR_FILENO);
        ::close(fSavedStderr);
        ZVLogFileManager::reset();
        if (fSavedZone)
            ::setenv("TZ", fSavedZone->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
        StoreSandboxTest::TearDown();
    }
    std::string folder() const { return fSandbox.file("Logs/Quon"); }
    std::string logFile(const std::string& day) const { return folder() + "/quon-uploader_" + day + ".log"; }

    std::atomic<system_clock::time_point> fNow{utc(2026, 5, 17, 10, 0, 0)};
    int fSavedStderr = -1;
    std::optional<std::string> fSavedZone;
};

TEST_F(DailyLog, TheDayTurnsAtThreeInTheMorning)
{
    EXPECT_EQ(ZVLogFileManager::logFilePathFor(utc(2011, 5, 17, 2, 30, 0)), logFile("2011_05_16"));
    EXPECT_EQ(ZVLogFileManager::logFilePathFor(utc(2011, 5, 17, 2, 59, 59)), logFile("2011_05_16"));
    EXPECT_EQ(ZVLogFileManager::logFilePathFor(utc(2011, 5, 17, 3, 0, 0)), logFile("2011_05_17"));
    EXPECT_EQ(ZVLogFileManager::logFilePathFor(utc(2011, 5, 17, 3, 10, 0)), logFile("2011_05_17"));
    EXPECT_EQ(ZVLogFileManager::logFilePathFor(utc(2011, 1, 1, 1, 0, 0)), logFile("2010_12_31"));
    // Local time decides: 02:30 UTC is already 04:30 in Athens in May.
    ::setenv("TZ", "EET-2EEST,M3.5.0/3,M10.5.0/4", 1);
    ::tzset();
    EXPECT_EQ(ZVLogFileManager::logFilePathFor(utc(2011, 5, 17, 2, 30, 0)), logFile("2011_05_17"));
}

TEST_F(DailyLog, StandardErrorGoesIntoTheDaysFileAfterTheHeader)
{
    ASSERT_TRUE(ZVLogFileManager::setupLogFile());
    const std::string today = logFile("2026_05_17");
    EXPECT_EQ(ZVLogFileManager::currentLogFilePath(), today);
    ConsoleLog::write("a line for the daily log");
    ZVLogFileManager::debug("a debug line");
    const std::string text = readWholeFile(today);
    EXPECT_NE(text.find(std::string(59, '=') + "\n"), std::string::npos);
    EXPECT_NE(text.find("Linux kernel: v"), std::string::npos);
    EXPECT_NE(text.find("=> quon-uploader\n"), std::string::npos);
    EXPECT_NE(text.find("a line for the daily log\n"), std::string::npos);
    EXPECT_NE(text.find("D [2026/05/17 10:00:00.000 +0000] a debug line\n"), std::string::npos);
    EXPECT_EQ(modeOf(today), 0600u);
    EXPECT_EQ(modeOf(folder()), 0700u);

    // A second start on the same day appends.
    ZVLogFileManager::setupLogFile();
    ConsoleLog::write("after the second start");
    const std::string again = readWholeFile(today);
    EXPECT_EQ(again.rfind(text, 0), 0u);
    EXPECT_NE(again.find("after the second start"), std::string::npos);
}

TEST_F(DailyLog, TheFileMovesOnWhenTheDayTurnsAndOldLogsArePruned)
{
    UserDefaults::standard().setObject("prefDaysToSaveLogs", PlistValue::integer(14));
    fNow = utc(2026, 5, 17, 23, 0, 0);
    ASSERT_TRUE(ZVLogFileManager::setupLogFile());
    const std::string old = logFile("2026_04_20");
    createFileWithContents(old, "old day\n");
    setModified(old, utc(2026, 4, 21, 3, 0, 0));

    ConsoleLog::write("evening line");
    fNow = utc(2026, 5, 18, 2, 59, 59);
    EXPECT_FALSE(ZVLogFileManager::rotateIfDayTurned());
    ConsoleLog::write("night line");
    EXPECT_TRUE(fs::exists(old));

    fNow = utc(2026, 5, 18, 3, 0, 1);
    EXPECT_TRUE(ZVLogFileManager::rotateIfDayTurned());
    EXPECT_FALSE(ZVLogFileManager::rotateIfDayTurned());
    ConsoleLog::write("morning line");

    const std::string evening = readWholeFile(logFile("2026_05_17"));
    const std::string morning = readWholeFile(logFile("2026_05_18"));
    EXPECT_EQ(ZVLogFileManager::currentLogFilePath(), logFile("2026_05_18"));
    EXPECT_NE(evening.find("evening line"), std::string::npos);
    EXPECT_NE(evening.find("night line"), std::string::npos);
    EXPECT_EQ(evening.find("morning line"), std::string::npos);
    EXPECT_NE(morning.find("morning line"), std::string::npos);
    EXPECT_NE(morning.find(std::string(59, '=')), std::string::npos);
    EXPECT_NE(morning.find("=> quon-uploader\n"), std::string::npos);
    EXPECT_FALSE(fs::exists(old));
    EXPECT_NE(morning.find("Item DELETED: [quon-uploader_2026_04_20.log]"), std::string::npos);
}

TEST_F(DailyLog, TheTimerLooksAgainAtThreeOrWithinTheHour)
{
    fNow = utc(2026, 5, 18, 2, 59, 30);
    EXPECT_EQ(ZVLogFileManager::timeUntilNextLook(), seconds(30));
    fNow = utc(2026, 5, 18, 2, 30, 0);
    EXPECT_EQ(ZVLogFileManager::timeUntilNextLook(), minutes(30));
    fNow = utc(2026, 5, 18, 3, 0, 0);
    EXPECT_EQ(ZVLogFileManager::timeUntilNextLook(), hours(1));
    fNow = utc(2026, 5, 18, 22, 0, 0);
    EXPECT_EQ(ZVLogFileManager::timeUntilNextLook(), hours(1));
    // Without a redirect there is nothing to move on.
    EXPECT_FALSE(ZVLogFileManager::rotateIfDayTurned());
}

TEST_F(DailyLog, AFolderThatCannotBeMadeLeavesStandardErrorAndSaysSoOnce)
{
    createFileWithContents(fSandbox.file("blocker"), "a file, not a folder");
    ZVLogFileManager::setLogFolder(fSandbox.file("blocker/Quon"));
    struct stat before { };
    ::fstat(STDERR_FILENO, &before);
    TestSupport::LogCapture log;
    EXPECT_TRUE(ZVLogFileManager::setupLogFile());
    struct stat after { };
    ::fstat(STDERR_FILENO, &after);
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_EQ(before.st_dev, after.st_dev);
    EXPECT_TRUE(ZVLogFileManager::currentLogFilePath().empty());
    const auto problem = ZVLogFileManager::takeSetupProblem();
    ASSERT_TRUE(problem.has_value());
    EXPECT_NE(problem->find(fSandbox.file("blocker/Quon")), std::string::npos);
    EXPECT_FALSE(ZVLogFileManager::takeSetupProblem().has_value());
    EXPECT_TRUE(log.contains("createDirectoryAtPath returned error:"));
    // debug writes nothing without a daily log.
    ZVLogFileManager::debug("nowhere");
}

TEST_F(DailyLog, LogDatesCarryMillisecondsAndTheZone)
{
    fNow = utc(2026, 5, 17, 10, 0, 0, 250);
    EXPECT_EQ(ZVLogFileManager::logDateString(), "[2026/05/17 10:00:00.250 +0000]");
    // The calendar year, also in the last days of December.
    fNow = utc(2026, 12, 31, 23, 59, 59, 5);
    EXPECT_EQ(ZVLogFileManager::logDateString(), "[2026/12/31 23:59:59.005 +0000]");
    EXPECT_EQ(ZVLogFileManager::getApplicationName(), "quon-uploader");
    const auto host = ZVLogFileManager::hostModelAndArch();
    ASSERT_TRUE(host.has_value());
    EXPECT_EQ(host->back(), ')');
}

TEST_F(DailyLog, PruningGoesByBaseNameInAnyCaseAndByAge)
{
    UserDefaults::standard().setObject("prefDaysToSaveLogs", PlistValue::integer(14));
    const auto old = fNow.load() - hours(24 * 20);
    const auto young = fNow.load() - hours(24 * 2);
    TestSupport::TempDir outside;
    const std::string outsideLog = outside.file("quon-uploader_2011_01_01.log");
    createFileWithContents(outsideLog, "x");
    setModified(outsideLog, old);
    const std::map<std::string, bool> files = {
        {"quon-uploader_2011_01_01.log", false},     {"QUON-UPLOADER_2011_01_02.log", false},
        {"sub/quon-uploader_2011_01_03.log", false}, {"OTHERNAME_2011_01_01.log", true},
        {"quon-uploader_young.log", true},
    };
    for (const auto& [name, kept] : files) {
        createFileWithContents(folder() + "/" + name, "log\n");
        setModified(folder() + "/" + name, name.find("young") != std::string::npos ? young : old);
    }
    fs::create_directories(folder() + "/quon-uploader_folder");
    setModified(folder() + "/quon-uploader_folder", old);
    fs::create_symlink(outsideLog, folder() + "/quon-uploader_link.log");
    fs::create_directory_symlink(outside.path(), folder() + "/linked folder");

    // The second pass prunes the documents folder of the home folder: a sandbox one here.
    const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
    ::setenv("HOME", fSandbox.path().c_str(), 1);
    ZVLogFileManager::deleteOldLogs();
    ::setenv("HOME", home.c_str(), 1);
    for (const auto& [name, kept] : files)
        EXPECT_EQ(fs::exists(folder() + "/" + name), kept) << name;
    EXPECT_TRUE(fs::is_directory(folder() + "/quon-uploader_folder"));
    EXPECT_TRUE(fs::is_symlink(folder() + "/quon-uploader_link.log"));
    EXPECT_TRUE(fs::exists(outsideLog));
}

TEST_F(DailyLog, TheConsoleFilesPassIsNotRecursiveAndBadFoldersPruneNothing)
{
    const std::string documents = fSandbox.file("Documents");
    const auto old = fNow.load() - hours(24 * 20);
    for (const char* name : {"myConsole.txt", "deeper/myConsole.txt", "MYCONSOLE.log"}) {
        createFileWithContents(documents + "/" + name, "x");
        setModified(documents + "/" + name, old);
    }
    ZVLogFileManager::DeleteOptions options;
    options.deleteSubDirectory = false;
    options.deleteImmediately = true;
    options.sourcePath = documents;
    options.baseName = "myConsole";
    options.beforeDate = fNow.load() - hours(24 * 14);
    ZVLogFileManager::deleteOldLogsWithOptions(options);
    EXPECT_FALSE(fs::exists(documents + "/myConsole.txt"));
    EXPECT_FALSE(fs::exists(documents + "/MYCONSOLE.log"));
    EXPECT_TRUE(fs::exists(documents + "/deeper/myConsole.txt"));

    // Into the Trash when not immediately.
    const std::string dataHome = std::getenv("XDG_DATA_HOME") ? std::getenv("XDG_DATA_HOME") : "";
    ::setenv("XDG_DATA_HOME", fSandbox.file("data").c_str(), 1);
    options.deleteSubDirectory = true;
    options.deleteImmediately = false;
    ZVLogFileManager::deleteOldLogsWithOptions(options);
    ::setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
    EXPECT_FALSE(fs::exists(documents + "/deeper/myConsole.txt"));
    EXPECT_TRUE(fs::exists(fSandbox.file("data/Trash/files/myConsole.txt")));

    TestSupport::LogCapture log;
    for (const char* setting : {"", "Documents", "/", "//"}) {
        options.sourcePath = setting;
        ZVLogFileManager::deleteOldLogsWithOptions(options);
    }
    EXPECT_TRUE(log.contains("no log folder to prune; nothing deleted"));
    EXPECT_TRUE(log.contains("deleting nothing in [Documents]: the folder setting is not an absolute path"));
    EXPECT_TRUE(log.contains("deleting nothing in [/]: the folder is the root of the file system"));
    EXPECT_TRUE(log.contains("deleting nothing in [//]: the folder is the root of the file system"));
}
