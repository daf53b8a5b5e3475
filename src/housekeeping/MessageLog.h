#pragma once

#include <string>

// The run log: a file rewritten at each start, beside the program in a build
// tree unless $QUON_LOG_ROOT names a log root (else in the log root), holding
// the start-up and shutdown milestones with a time stamp. Any thread may
// write to it.
class MessageLog {
public:
    MessageLog() = delete;

    // Opens (truncating) the run log; path overrides the usual place.
    static bool InitLog(const std::string& path = {});
    // Appends one time-stamped line; with echo also writes "NSLog = ..." to the console log.
    static void LogMessage(const std::string& text, bool echo = false);
    static void CloseLog();
    static std::string logPath();
    // Where InitLog puts the run log when given no path.
    static std::string defaultLogPath();
};

// A message for both logs: the console log and the run log. A format that
// does not end in a line end gets one appended before it is filled in.
void myNSLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
