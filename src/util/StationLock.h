#pragma once

#include <string>
#include <sys/types.h>

// One station per settings store: an exclusive lock on "quon-uploader.lock"
// beside the store, held for the life of the process (the kernel lets go of
// it when the process ends, however it ends). The file holds the holder's
// process id, so a second instance can name the one that runs.
class StationLock {
public:
    enum class Result { Acquired, HeldByAnother, Failed };

    StationLock() = default;
    ~StationLock();
    StationLock(const StationLock&) = delete;
    StationLock& operator=(const StationLock&) = delete;

    // The lock file for a store path.
    static std::string lockPathFor(const std::string& storePath);

    // Takes the lock without waiting. HeldByAnother: holderPid() names the
    // running instance (0 when it could not be read). Failed: the lock file
    // cannot be opened; error says why.
    Result acquire(const std::string& lockPath, std::string* error);

    pid_t holderPid() const { return fHolderPid; }
    bool isHeld() const { return fFd >= 0; }

private:
    int fFd = -1;
    pid_t fHolderPid = 0;
};
