#include "housekeeping/OldPhotoCleanup.h"

#include "filing/FolderWalk.h"
#include "filing/ZVI_FileManager.h"
#include "housekeeping/MessageLog.h"
#include "platform/ConsoleLog.h"
#include "prefs/Preferences.h"
#include "scan/PathChecks.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

constexpr const char* kClass = "AppController";
constexpr int kDefaultDays = 30;
constexpr int kMostDays = 32767; // the setting is a 16-bit number of days

void logBoth(const std::string& line)
{
    ConsoleLog::write(line);
    MessageLog::LogMessage(line);
}

} // namespace

OldPhotoCleanup::OldPhotoCleanup(MaintenanceProgress& progress, Clock now, std::chrono::milliseconds settleTime)
    : fProgress(progress), fNow(std::move(now)), fSettleTime(settleTime)
{
    if (!fNow)
        fNow = [] { return std::chrono::system_clock::now(); };
}

void OldPhotoCleanup::doSetupDeleteOldPhotosThread()
{
    logInside(kClass, "doSetupDeleteOldPhotosThread:");
    if (!Preferences::getPrefUseDoDeleteOldPhotos())
        return;
    ConsoleLog::write("doSetupDeleteOldPhotosThread - Started...");
    deleteOldOldPhotosAndFolderIfEmptyWorks();
    ZVI_FileManager::deleteFolderIfEmpty(Preferences::getLocalMasterMirrorSiteFolder().value_or(""), false);
    ConsoleLog::write("doSetupDeleteOldPhotosThread - Done...");
}

int OldPhotoCleanup::daysOldBeforeDeleting()
{
    const auto value = Preferences::getPrefDaysOldBeforeDeleting();
    if (!value) {
        ConsoleLog::write("deleteOldOldPhotosAndFolderIfEmpty => getPrefDaysOldBeforeDeleting returned nil???");
        ConsoleLog::writef("deleteOldOldPhotosAndFolderIfEmpty => Reverting to Default value of [%i] days...",
                           kDefaultDays);
        return kDefaultDays;
    }
    std::optional<double> days = value->numberValue();
    if (!days && value->asString()) {
        const char* text = value->asString()->c_str();
        char* end = nullptr;
        const double parsed = std::strtod(text, &end);
        if (end != text)
            days = parsed;
    }
    // A negative count would put the cut-off in the future and delete every
    // photo, the ones just filed too.
    if (!days || !std::isfinite(*days) || *days < 0) {
        ConsoleLog::writef("deleteOldOldPhotosAndFolderIfEmpty => prefDaysOldBeforeDeleting [%s] is not a number of "
                           "days; using [%i] days",
                           value->describe().c_str(), kDefaultDays);
        return kDefaultDays;
    }
    return *days > kMostDays ? kMostDays : static_cast<int>(*days);
}

void OldPhotoCleanup::deleteOldOldPhotosAndFolderIfEmptyWorks()
{
    ConsoleLog::writef("Inside %s->[%s] ", kClass, "deleteOldOldPhotosAndFolderIfEmptyWorks");
    if (!Preferences::getPrefUseDoDeleteOldPhotos()) {
        ConsoleLog::write("deleteOldOldPhotosAndFolderIfEmpty -> preference is turned off...");
        return;
    }
    ConsoleLog::write("\n\nInside deleteOldOldPhotosAndFolderIfEmpty...\n");
    const int days = daysOldBeforeDeleting();
    const PhotoDate now = fNow();
    const PhotoDate cutOff = now - std::chrono::seconds(int64_t{days} * 60 * 60 * 24);
    ConsoleLog::writef("Current Date is now: [%s]", describeDate(now).c_str());
    ConsoleLog::writef("Looking For Images that are EARLIER than: [%s]", describeDate(cutOff).c_str());

    const std::string mirror = Preferences::getLocalMasterMirrorSiteFolder().value_or("");
    std::string root;
    switch (const auto problem = FolderWalk::checkDeletionRoot(mirror, root)) {
        case FolderWalk::RootProblem::None: break;
        case FolderWalk::RootProblem::Missing:
            logBoth("testDirectory=> source item FOLDER does NOT exist: " + mirror);
            return;
        case FolderWalk::RootProblem::NotAFolder:
            logBoth("testDirectory=> source item is NOT a Folder: " + mirror);
            return;
        default:
            ConsoleLog::writef("deleteOldOldPhotosAndFolderIfEmpty => deleting nothing in [%s]: %s", mirror.c_str(),
                               FolderWalk::describe(problem));
            return;
    }

    if (fSettleTime.count() > 0)
        std::this_thread::sleep_for(fSettleTime);

    std::unique_ptr<MaintenanceWindow> window = fProgress.openMaintenanceWindow();
    if (window) {
        window->ibUpdateLine1TextField(stringWithFormat("Deleting the OLD Photos (older than %i days)...", days));
        window->ibUpdateLine2TextField("");
        window->ibUpdateProgressBar("YES");
    } else {
        ConsoleLog::write("UNABLE to create _newMaintProgressWindow.....");
    }
    deleteOldPhotosBelow(root, cutOff, window.get());
    if (window) {
        window->ibUpdateProgressBar("NO");
        window->close();
    }
}

void OldPhotoCleanup::deleteOldPhotosBelow(const std::string& root, PhotoDate cutOff, MaintenanceWindow* window)
{
    FolderWalk::walk(root, true, [&](const FolderWalk::Entry& entry) {
        if (!entry.exists) {
            logBoth("testDirectory=> curItem does NOT exist: " + entry.relativePath);
            return FolderWalk::Step::Continue;
        }
        if (entry.isFolder())
            return FolderWalk::Step::Continue;
        // A link is not an image, whatever it points to.
        if (!entry.isRegularFile() || !IsValidImageObject(entry.fullPath)) {
            ConsoleLog::writef("itemName is NOT an Image File: [%s]\n", entry.name.c_str());
            if (entry.name.front() != '.' && window)
                window->ibUpdateLine2TextField("Skipping: " + entry.relativePath);
            return FolderWalk::Step::Continue;
        }
        const auto date = GetAndUpdateFileCreationDate(entry.fullPath, false, false);
        if (!date || !(*date < cutOff))
            return FolderWalk::Step::Continue;
        if (window)
            window->ibUpdateLine2TextField("Deleting: " + entry.relativePath);
        int error = 0;
        if (FolderWalk::removeFile(entry, &error))
            ConsoleLog::writef("Deleted the old photo [%s]", entry.fullPath.c_str());
        else if (error != ENOENT)
            ConsoleLog::writef("Could not delete the old photo [%s]: %s", entry.fullPath.c_str(), std::strerror(error));
        return FolderWalk::Step::Continue;
    });
}
