#include "housekeeping/ZVLogFileManager.h"

#include "platform/ConsoleLog.h"

// The daily log files and their pruning arrive with the log housekeeping;
// until then the console log stays on standard error.
bool ZVLogFileManager::setupLogFile()
{
    logInside("ZVLogFileManager", "setupLogFile");
    return true;
}

void ZVLogFileManager::deleteOldLogs()
{
    logInside("ZVLogFileManager", "deleteOldLogs");
}
