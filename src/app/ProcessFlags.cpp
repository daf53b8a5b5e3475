#include "app/ProcessFlags.h"

std::atomic<bool> gStartedUploadProcess{false};
std::atomic<bool> gIsScanning{false};
std::atomic<bool> gInsideOpenFile{false};
std::atomic<bool> gIsInWatchFolderInstaller{false};
std::atomic<bool> gWantsToHaltProcess{false};
std::atomic<bool> gDidHaltProcess{false};
std::atomic<int32_t> gNeedsToRescan{0};

void resetProcessFlags()
{
    gStartedUploadProcess = false;
    gIsScanning = false;
    gInsideOpenFile = false;
    gIsInWatchFolderInstaller = false;
    gWantsToHaltProcess = false;
    gDidHaltProcess = false;
    gNeedsToRescan = 0;
}
