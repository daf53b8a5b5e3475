#pragma once

// The cleanup thread: deletes old photos and empty folders from the mirror folder.
class OldPhotoCleanup {
public:
    OldPhotoCleanup() = delete;
    // Entry point of the detached cleanup thread started at launch.
    static void doSetupDeleteOldPhotosThread();
};
