#pragma once

#include <string>
#include <unordered_map>
#include <vector>

// The kernel's change notes (inotify) for the folders the scan walks, read
// without waiting at the start of each pass. A file that no note names has
// not been written, truncated, renamed, removed or had its attributes changed
// on this machine since its folder was watched, so the scan need not stat it
// again. Only folders on local file systems are watched: a share can be
// changed by another machine without a note. Writes through a shared memory
// map after the file was closed leave no note either; the verdict cache bounds
// that with a full check of every file at least once a second.
// Used on the scan thread only.
class ScanChangeWatch {
public:
    struct Notes {
        bool lostTrack = false;             // the kernel's queue overflowed: anything may have changed
        std::vector<std::string> changed;   // files (or folders) named by a note
        struct Entry {
            std::string folder;
            std::string name;
        };
        std::vector<Entry> cameOrWent;      // entries added to, removed from or renamed in a folder
        std::vector<std::string> unwatched; // watched folders that went away or are no longer watched
    };

    ScanChangeWatch() = default;
    ~ScanChangeWatch();
    ScanChangeWatch(const ScanChangeWatch&) = delete;
    ScanChangeWatch& operator=(const ScanChangeWatch&) = delete;

    // Starts noting changes in the folder (not its subfolders); false when it
    // cannot be watched (a share, no inotify, the user's watch limit).
    bool watch(const std::string& folder);
    // The notes that arrived since the last call.
    Notes collect();

    // Whether folders on this file system report every change made to them.
    static bool isLocalFileSystem(const std::string& folder);

private:
    int fFd = -1;
    bool fUnavailable = false;
    std::unordered_map<int, std::vector<std::string>> fFolders; // watch descriptor -> folder paths
};
