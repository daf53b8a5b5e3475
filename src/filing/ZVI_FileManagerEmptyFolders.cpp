#include "filing/FolderWalk.h"
#include "filing/ZVI_FileManager.h"
#include "housekeeping/MessageLog.h"
#include "platform/ConsoleLog.h"
#include "platform/FileUtil.h"
#include "prefs/Preferences.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>

namespace {

constexpr const char* kClass = "ZVI_FileManager";
constexpr const char* kPassName = "deleteFolderIfEmpty:doNotDeleteImmediateChild:beforeDate:withProgressController:";

void reportVanished(const std::string& relativePath)
{
    const std::string line = "testDirectory=> curItem does NOT exist: " + relativePath + "\n";
    ConsoleLog::writeRaw(line);
    MessageLog::LogMessage(line.substr(0, line.size() - 1));
}

void deleteEmptyFolder(const FolderWalk::Entry& entry, MaintenanceWindow* window)
{
    if (window)
        window->ibUpdateLine2TextField(entry.relativePath);
    ConsoleLog::writeRaw("\n===>  DELETING an EMPTY Directory: " + entry.fullPath + "\n\n");
    int error = 0;
    if (FolderWalk::removeEmptyFolder(entry, &error))
        return;
    if (error == ENOTEMPTY || error == EEXIST || error == ENOENT)
        ConsoleLog::writef("[%s] changed while the empty folders were swept; it stays", entry.fullPath.c_str());
    else
        ConsoleLog::writef("Could not delete the empty folder [%s]: %s", entry.fullPath.c_str(), std::strerror(error));
}

} // namespace

void ZVI_FileManager::deleteFolderIfEmpty(const std::string& root, bool doNotDeleteImmediateChild,
                                          std::optional<PhotoDate> beforeDate, MaintenanceWindow* window)
{
    ConsoleLog::writef("Inside %s->[%s] ", kClass, kPassName);
    ConsoleLog::writef("Inside %s->[%s] ==> Passed SourcePath: [%s]", kClass, kPassName, root.c_str());
    std::string base;
    switch (const auto problem = FolderWalk::checkDeletionRoot(root, base)) {
        case FolderWalk::RootProblem::None: break;
        case FolderWalk::RootProblem::Missing:
            ConsoleLog::writef("Inside %s->[%s] ==> passed Invalid SourcePath: [%s]", kClass, kPassName, root.c_str());
            return;
        case FolderWalk::RootProblem::NotAFolder:
            ConsoleLog::writef("Inside %s->[%s] ==> sourcePath is NOT a Directory: [%s]", kClass, kPassName,
                               root.c_str());
            return;
        default:
            ConsoleLog::writef("Inside %s->[%s] ==> deleting nothing in [%s]: %s", kClass, kPassName, root.c_str(),
                               FolderWalk::describe(problem));
            return;
    }

    FolderWalk::walk(base, true, [&](const FolderWalk::Entry& entry) {
        if (!entry.exists) {
            reportVanished(entry.relativePath);
            return FolderWalk::Step::Continue;
        }
        if (!entry.isFolder())
            return FolderWalk::Step::Continue; // files, and links to anything
        if (!FolderWalk::mayBeDeleted(entry)) {
            ConsoleLog::writeRaw("??? Directory is CANNOT Be Deleted?????: " + entry.relativePath + "\n");
            return FolderWalk::Step::Continue;
        }
        bool onlyDSStore = false;
        if (!FolderWalk::isEmptyFolder(entry, &onlyDSStore))
            return FolderWalk::Step::Continue;
        ConsoleLog::writeRaw(onlyDSStore ? ".DS_Store is the ONLY item in this folder\n" : "directory is EMPTY\n");
        if (doNotDeleteImmediateChild) {
            if (entry.relativePath.find('/') == std::string::npos) {
                ConsoleLog::writef("\nCANNOT DELETE same Root Path of [%s]\n", root.c_str());
                return FolderWalk::Step::Continue;
            }
            ConsoleLog::writef("\nOKAY to delete  Path of [%s]\n", entry.fullPath.c_str());
        } else if (beforeDate) {
            if (!itemIsEarlierThan(entry.fullPath, *beforeDate, kFileModificationDateAttribute)) {
                if (window)
                    window->ibUpdateLine2TextField("Will NOT Delete [" + entry.fullPath + "]");
                ConsoleLog::write("SHOULD NOT Delete this NEWER ITEm??????");
                return FolderWalk::Step::Continue;
            }
            if (window)
                window->ibUpdateLine2TextField("ITEM IS OLDDDDDDDD [" + entry.fullPath + "]");
            ConsoleLog::write("SHOULD BE DELETING THIS OLD ITEM??????");
        }
        deleteEmptyFolder(entry, window);
        return FolderWalk::Step::Continue;
    });
}

void ZVI_FileManager::deleteOLDFolderIfEmpty(const std::string& root, bool doNotDeleteImmediateChild, int16_t daysOld)
{
    ConsoleLog::writef("Inside %s->[%s] ", kClass, "deleteOLDFolderIfEmpty:doNotDeleteImmediateChild:forDaysOld:");
    const PhotoDate cutOff = std::chrono::system_clock::now() - std::chrono::seconds(int64_t{daysOld} * 86400);
    deleteFolderIfEmpty(root, doNotDeleteImmediateChild, cutOff, nullptr);
}

void ZVI_FileManager::deleteFolderIfEmpty(const std::string& root, bool doNotDeleteImmediateChild)
{
    ConsoleLog::writef("Inside %s->[%s] ", kClass, "deleteFolderIfEmpty:doNotDeleteImmediateChild:");
    deleteFolderIfEmpty(root, doNotDeleteImmediateChild, std::nullopt, nullptr);
}

void ZVI_FileManager::ibDeleteLocalFtpFolderIfEmpty(MaintenanceProgress& progress,
                                                    const std::function<int(const char* alertKey)>& askOperator)
{
    logInside("AppController", "ibDeleteLocalFtpFolderIfEmpty:");
    const std::string source = Preferences::getLocalSourceUploadFolder().value_or("");
    if (!FileUtil::isDirectory(source))
        return;
    if (askOperator && askOperator(kDeleteEmptyFoldersAlert) != 1) {
        ConsoleLog::write("REturning");
        return;
    }
    std::unique_ptr<MaintenanceWindow> window = progress.openMaintenanceWindow();
    if (window) {
        window->ibSetWindowTitle("Deleting Empty Folders in the Source Upload Folder:");
        window->ibUpdateLine1TextField("Deleting Empty Folders in the Source Upload Folder:");
        window->ibUpdateLine2TextField("");
        window->ibUpdateProgressBar("YES");
    } else {
        ConsoleLog::write("UNABLE to create _newMaintProgressWindow.....");
    }
    deleteFolderIfEmpty(source, true, std::chrono::system_clock::now() - std::chrono::seconds(172800), window.get());
    if (window) {
        window->ibUpdateProgressBar("NO");
        window->close();
    }
}

bool isDirectoryEmpty(const std::string& path)
{
    DIR* dir = ::opendir(path.c_str());
    if (!dir)
        return false;
    int count = 0;
    bool onlyDSStore = true;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        ++count;
        onlyDSStore = onlyDSStore && name == ".DS_Store";
    }
    ::closedir(dir);
    if (count == 0) {
        ConsoleLog::writeRaw("directory is EMPTY\n");
        return true;
    }
    if (count == 1 && onlyDSStore) {
        ConsoleLog::writeRaw(".DS_Store is the ONLY item in this folder\n");
        return true;
    }
    return false;
}
