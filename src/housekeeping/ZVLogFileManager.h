#pragma once

// The daily log (standard error redirected into one file per day) and the
// pruning of old log files.
class ZVLogFileManager {
public:
    ZVLogFileManager() = delete;
    static bool setupLogFile();
    static void deleteOldLogs();
};
