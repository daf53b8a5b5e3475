#include "housekeeping/ZVLogFileManager.h"

#include "filing/FolderWalk.h"
#include "filing/ZVI_FileManager.h"
#include "platform/ConsoleLog.h"
#include "platform/FileUtil.h"
#include "prefs/Preferences.h"
#include "scan/PhotoDates.h"

#include <QStandardPaths>
#include <cerrno>
#include <cstring>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* kClass = "ZVLogFileManager";
constexpr const char* kPruneName = "deleteOldLogsWithOptions:";

std::string documentsFolder()
{
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    return documents.isEmpty() ? FileUtil::homeFolder() + "/Documents" : documents.toStdString();
}

} // namespace

void ZVLogFileManager::deleteOldLogsWithOptions(const DeleteOptions& options)
{
    const bool recursive = options.deleteSubDirectory.value_or(false);
    const bool immediately = options.deleteImmediately.value_or(false);
    const std::string sourcePath = options.sourcePath.value_or(logFolder());
    const std::string baseName = options.baseName.value_or(getApplicationName());
    const TimePoint beforeDate = options.beforeDate.value_or(now() - std::chrono::seconds(259200));
    if (sourcePath.empty() || baseName.empty()) {
        ConsoleLog::writef("Inside %s->[%s] ==> no %s to prune; nothing deleted", kClass, kPruneName,
                           sourcePath.empty() ? "log folder" : "base name");
        return;
    }
    ConsoleLog::writef("Inside %s->[%s] ==> Passed SourcePath: [%s]", kClass, kPruneName, sourcePath.c_str());
    std::string root;
    const auto problem = FolderWalk::checkDeletionRoot(FileUtil::expandTilde(sourcePath), root);
    if (problem != FolderWalk::RootProblem::None) {
        ConsoleLog::writef("Inside %s->[%s] ==> deleting nothing in [%s]: %s", kClass, kPruneName, sourcePath.c_str(),
                           FolderWalk::describe(problem));
        return;
    }
    FolderWalk::walk(root, recursive, [&](const FolderWalk::Entry& entry) {
        deleteItem(entry.fullPath, beforeDate, baseName, immediately);
        return FolderWalk::Step::Continue;
    });
}

void ZVLogFileManager::deleteItem(const std::string& itemPath, TimePoint beforeDate, const std::string& baseName,
                                  bool deleteImmediately)
{
    const std::string path = FileUtil::expandTilde(itemPath);
    struct stat info { };
    if (::lstat(path.c_str(), &info) != 0) {
        ConsoleLog::writef("testDirectory=> curItem does NOT exist: %s\n", path.c_str());
        return;
    }
    // Folders are never removed, and a link is not a log file.
    if (!S_ISREG(info.st_mode) || baseName.empty())
        return;
    const std::string name = FileUtil::lastPathComponent(path);
    if (strncasecmp(name.c_str(), baseName.c_str(), baseName.size()) != 0)
        return;
    if (!itemIsEarlierThan(path, beforeDate, kFileModificationDateAttribute))
        return;
    if (deleteImmediately) {
        ConsoleLog::writef("Item DELETED: [%s]", name.c_str());
        if (::unlink(path.c_str()) != 0)
            ConsoleLog::writef("Could not delete the old log [%s]: %s", path.c_str(), std::strerror(errno));
    } else {
        ConsoleLog::writef("Item Moved To Trash: [%s]", name.c_str());
        moveFileToUserTrash(path);
    }
}

void ZVLogFileManager::deleteOldLogs()
{
    const int days = Preferences::getDaysToSaveLogs();
    const TimePoint before = now() - std::chrono::seconds(int64_t{days} * 86400);
    ConsoleLog::write("Checking for Old Log Files to Delete...");
    DeleteOptions logs;
    logs.deleteSubDirectory = true;
    logs.deleteImmediately = true;
    logs.beforeDate = before;
    deleteOldLogsWithOptions(logs);
    ConsoleLog::write("Checking for Old Log Files to Delete...Done.");
    ConsoleLog::write("Checking for Old \"myConsole.Log\" Files to Delete...");
    DeleteOptions consoleFiles;
    consoleFiles.deleteSubDirectory = false;
    consoleFiles.deleteImmediately = true;
    consoleFiles.sourcePath = documentsFolder();
    consoleFiles.baseName = "myConsole";
    consoleFiles.beforeDate = before;
    deleteOldLogsWithOptions(consoleFiles);
    ConsoleLog::write("Checking for Old \"myConsole.Log\" Files to Delete...Done.");
}
