#pragma once

#include <string>

// The run log: a file rewritten at each start, beside the program when that
// folder is writable (else in the log folder), holding the start-up and
// shutdown milestones with a time stamp. Any thread may write to it.
class MessageLog {
public:
    MessageLog() = delete;

    // Opens (truncating) the run log; path overrides the usual place.
    static bool InitLog(const std::string& path = {});
    // Appends one time-stamped line; with echo also writes "NSLog = ..." to the console log.
    static void LogMessage(const std::string& text, bool echo = false);
    static void CloseLog();
    static std::string logPath();
};

// A message for both logs: the console log and the run log.
void myNSLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
