#pragma once

#include <atomic>
#include <cstdint>

// The process-wide state of the upload chain, shared by every thread. Read
// freely; written only through the application controller's setters, which
// take its recursive lock.
extern std::atomic<bool> gStartedUploadProcess;     // one photo is being uploaded and filed
extern std::atomic<bool> gIsScanning;               // a scan pass is running
extern std::atomic<bool> gInsideOpenFile;           // a scan request is being handled
extern std::atomic<bool> gIsInWatchFolderInstaller; // the folder watcher is installing or running
extern std::atomic<bool> gWantsToHaltProcess;       // a pause was requested
extern std::atomic<bool> gDidHaltProcess;           // the process is paused
extern std::atomic<int32_t> gNeedsToRescan;         // scan requests that arrived during a pass

// Back to the launch state: every flag clear, the counter 0.
void resetProcessFlags();
