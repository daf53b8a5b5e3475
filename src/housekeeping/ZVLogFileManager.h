#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

// The daily log: standard error, onto which every console message goes, is
// redirected into one file per day in the log folder, named after the
// application and the day ("quon-uploader_2026_05_17.log"); the day turns at
// 03:00, so a night's work stays in the evening's file. A station that runs
// for weeks moves on to the new day's file when the day turns, writes the
// header block again and prunes old logs, as at start. Log files are created
// with mode 0600, the log folder with 0700.
//
// Also the pruning of old log files (ZVLogFileManagerPruning.cpp).
class ZVLogFileManager {
public:
    ZVLogFileManager() = delete;
    using TimePoint = std::chrono::system_clock::time_point;
    using Clock = std::function<TimePoint()>;

    // --- where and when (tests set these; reset puts the defaults back) ---
    // The daily log folder: the log root + "/Quon" unless set.
    static void setLogFolder(std::string folder);
    static std::string logFolder();
    // The clock behind the day of the file, the log dates and the pruning.
    static void setClock(Clock now);
    static TimePoint now();
    // Forgets the redirect and the settings above (standard error stays where it is).
    static void reset();

    // --- the daily log ---
    // Creates the log folder, redirects standard error onto the day's file and
    // writes the header. True once the folder step has run, also when the
    // folder cannot be made: then standard error stays where it was and the
    // problem waits in takeSetupProblem. On the main thread of a running
    // application it also arms the timer that turns the day.
    static bool setupLogFile();
    // The one message about a log folder that cannot be made, once; for the status line.
    static std::optional<std::string> takeSetupProblem();
    // The file standard error goes to; empty while it is not redirected.
    static std::string currentLogFilePath();
    // The day's file for the moment given.
    static std::string logFilePathFor(TimePoint when);
    // "yyyy_MM_dd" of when minus hours and minutes, in local time.
    static std::string computeCurrentDaysFolderString2(TimePoint when, int hours, int minutes);
    // When the clock has passed into a new day: continue in the new day's
    // file with a new header and prune old logs. True when it moved on.
    static bool rotateIfDayTurned();
    // From the clock's now until the next 03:00, at most an hour (the timer
    // looks again then, so a changed clock or a suspended machine is caught up).
    static std::chrono::milliseconds timeUntilNextLook();

    // --- texts ---
    // The clock's now as "[yyyy/MM/dd HH:mm:ss.SSS +zzzz]".
    static std::string logDateString();
    static std::string getApplicationName();
    static std::string getCopyrightInfo();
    // "model (architecture)"; none when the system says nothing.
    static std::optional<std::string> hostModelAndArch();
    // "D [date] text" straight onto the daily log; nothing while not redirected.
    static void debug(const std::string& text);

    // --- pruning ---
    struct DeleteOptions {
        std::optional<bool> deleteSubDirectory; // NO: only the folder's direct entries
        std::optional<bool> deleteImmediately;  // NO: into the user's Trash
        std::optional<std::string> sourcePath;  // the log folder; may begin with "~"
        std::optional<std::string> baseName;    // the application name; any case
        std::optional<TimePoint> beforeDate;    // now minus 3 days
    };
    // Removes the files below sourcePath whose names begin with baseName and
    // that are dated before beforeDate. Folders and links are never removed,
    // links never followed; an unset, relative or "/" folder removes nothing.
    static void deleteOldLogsWithOptions(const DeleteOptions& options);
    static void deleteItem(const std::string& path, TimePoint beforeDate, const std::string& baseName,
                           bool deleteImmediately);
    // The log folder's old logs and the old "myConsole" files of the
    // documents folder, older than prefDaysToSaveLogs days.
    static void deleteOldLogs();
};

// Text straight to standard output.
void myPrintf(const std::string& text);
void myPrintfDebug(const std::string& text);
