#pragma once

#include "app/MaintenanceProgress.h"
#include "scan/PhotoDates.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>

// The cleanup worker: once per start, deletes the photos in the mirror folder
// older than prefDaysOldBeforeDeleting days, then the folders left empty
// there. Deletion is permanent, so only image files are ever deleted, links
// are never followed, and an unset, relative, missing or "/" mirror folder
// deletes nothing. It takes no lock and no process flag: photos filed
// meanwhile are young and so stay.
class OldPhotoCleanup {
public:
    using Clock = std::function<PhotoDate()>;

    // progress opens the window of the old-photo pass and must outlive the
    // worker; now is the clock (the system's when empty); the pass waits
    // settleTime before it walks, as a start-up should not race the disk.
    explicit OldPhotoCleanup(MaintenanceProgress& progress, Clock now = {},
                             std::chrono::milliseconds settleTime = std::chrono::seconds(4));

    // Body of the cleanup thread.
    void doSetupDeleteOldPhotosThread();
    // The old-photo pass over the mirror folder (the preferences decide).
    void deleteOldOldPhotosAndFolderIfEmptyWorks();

    // The days setting read as the pass reads it: a number (or text that
    // starts with one) of 0 to 32767 days; 30 when unset or unusable.
    static int daysOldBeforeDeleting();

private:
    void deleteOldPhotosBelow(const std::string& root, PhotoDate cutOff, MaintenanceWindow* window);

    MaintenanceProgress& fProgress;
    Clock fNow;
    std::chrono::milliseconds fSettleTime;
};
