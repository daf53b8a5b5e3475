#pragma once

#include <functional>
#include <string>
#include <sys/stat.h>

// The walk and the root checks behind every deletion pass (old photos, empty
// folders, old logs). Deletion is permanent, so a pass works only inside the
// folder it was given: symbolic links are never followed, the walk holds each
// folder open while it lists it, and items are removed relative to that open
// folder, so a folder swapped for a link meanwhile cannot lead the pass out.
namespace FolderWalk {

enum class RootProblem {
    None,
    Unset,          // empty setting
    Relative,       // not an absolute path
    FileSystemRoot, // "/" (also when a link resolves to it)
    Missing,
    NotAFolder,
};

// Checks a folder setting before a deletion pass. On success canonical holds
// the folder with links resolved (the operator may name the folder by a link)
// and without a trailing slash.
RootProblem checkDeletionRoot(const std::string& setting, std::string& canonical);

// Why a root was refused, for the log.
const char* describe(RootProblem problem);

struct Entry {
    int parentFd = -1;        // the open folder that holds the item
    std::string name;         // last component
    std::string relativePath; // below the root
    std::string fullPath;     // root joined with relativePath
    std::string parentPath;   // the folder that holds it
    bool exists = false;      // false: it vanished between the listing and now
    struct stat info { };     // of the item itself, links not followed
    bool isFolder() const { return exists && S_ISDIR(info.st_mode); }
    bool isRegularFile() const { return exists && S_ISREG(info.st_mode); }
};

enum class Step { Continue, DoNotDescend };

// Visits every item below root (never root itself), depth first, each folder
// before its contents, the entries of a folder in name order. Folders are
// walked into only when recursive; links are visited but never followed. A
// folder that vanishes or cannot be opened is passed over.
void walk(const std::string& root, bool recursive, const std::function<Step(const Entry&)>& visit);

// Removes a file or link of the walk (never what a link points to).
bool removeFile(const Entry& entry, int* error = nullptr);

// Emptiness of a folder of the walk: nothing in it, or only a ".DS_Store"
// (then onlyDSStore is set).
bool isEmptyFolder(const Entry& entry, bool* onlyDSStore = nullptr);

// Removes an empty folder of the walk with the ".DS_Store" it may hold. A
// folder that was filled meanwhile stays (error ENOTEMPTY).
bool removeEmptyFolder(const Entry& entry, int* error = nullptr);

// The platform's "may be deleted" test: the holding folder is writable and
// searchable, and a sticky holding folder lets this user remove the item.
bool mayBeDeleted(const Entry& entry);

} // namespace FolderWalk
