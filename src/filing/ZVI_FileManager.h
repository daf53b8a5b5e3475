#pragma once

#include "app/MaintenanceProgress.h"
#include "scan/PhotoDates.h"

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// File operations of the filing: the movers that carry a photo and its movie
// into the mirror folder or the Problem Folder, the Trash, and empty-folder
// deletion. No state, no lock; each runs on its caller's thread and reports
// in the log and the file system only.
class ZVI_FileManager {
public:
    ZVI_FileManager() = delete;

    // What happens when the destination name is taken.
    enum class WhenTaken {
        Overwrite,    // the newcomer replaces it
        KeepExisting, // the move fails and the item stays where it was
        KeepBoth,     // the newcomer gets " %Y%m%d_%H%M%S" before its extension
    };

    // Moves relativePath from below sourceRoot to the same relative path below
    // destRoot, creating the missing folders on the way. Across file systems
    // the file is copied to a temporary name beside its destination, flushed,
    // renamed into place and only then removed from the source, so at every
    // moment the photo is whole in at least one place. A relative path naming
    // a folder creates that folder and leaves the source folder in place.
    // Returns the destination path when the item arrived there; otherwise,
    // with error given, the reason (left empty when there was nothing to move).
    static std::optional<std::string> moveItem(const std::string& relativePath, const std::string& sourceRoot,
                                               const std::string& destRoot, WhenTaken whenTaken, bool doEncapsulate,
                                               std::string* error = nullptr);
    // Moves one file to exactly destPath (its folders made as needed), as
    // moveItem does; a link is never moved.
    static std::optional<std::string> moveFileTo(const std::string& fullSource, const std::string& destPath,
                                                 WhenTaken whenTaken, std::string* error = nullptr);

    static void moveFileToPath(const std::string& relativePath, const std::string& sourceRoot,
                               const std::string& destRoot, bool doOverWrite, bool doEncapsulate);
    // Into the mirror folder.
    static void moveFileToPath(const std::string& relativePath, const std::string& sourceRoot, bool doOverWrite,
                               bool doEncapsulate);
    // Into the mirror folder, replacing what is there.
    static void moveFileToPath(const std::string& relativePath, const std::string& sourceRoot);

private:
    // The file part of the movers: source checked, destination given.
    static std::optional<std::string> placeFile(const std::string& fullSource, const std::string& destPath,
                                                const std::string& shownRoot, WhenTaken whenTaken, std::string* error);

public:
    // --- empty-folder deletion (ZVI_FileManagerEmptyFolders.cpp) ---
    // Deletion is permanent. A pass works only below root: it never deletes
    // root itself, never follows a symbolic link, and deletes nothing when
    // root is unset, relative, "/", missing or not a folder. Each folder is
    // judged before its contents, so one pass removes one level of nested
    // empty folders. With doNotDeleteImmediateChild the folders directly in
    // root stay and the cut-off is not applied; otherwise, with a cut-off,
    // only folders dated before it go. Line 2 of the window, when given,
    // shows each deletion.
    static void deleteFolderIfEmpty(const std::string& root, bool doNotDeleteImmediateChild,
                                    std::optional<PhotoDate> beforeDate, MaintenanceWindow* window);
    // With the cut-off now - days x 86400 s and no window.
    static void deleteOLDFolderIfEmpty(const std::string& root, bool doNotDeleteImmediateChild, int16_t daysOld);
    // Without a cut-off or window.
    static void deleteFolderIfEmpty(const std::string& root, bool doNotDeleteImmediateChild);
    // The operator's request to delete the empty sub-folders of the source
    // folder (also run at quit when prefDeleteEmptyFtpFolders is on): keeps
    // the folders directly in it, shows its work in a maintenance window.
    // askOperator, when given, puts alert kDeleteEmptyFoldersAlert and the
    // request goes ahead only on the default button (1).
    static void ibDeleteLocalFtpFolderIfEmpty(MaintenanceProgress& progress,
                                              const std::function<int(const char* alertKey)>& askOperator = {});
    static constexpr const char* kDeleteEmptyFoldersAlert = "NSAlertWindow_9007";

    // --- original-path resolution (hi-res orders) ---
    // Pure look-ups: nothing on disk changes. The recorded path may hold
    // percent escapes (Mac OS Roman). With foundUnderRoot given, it receives
    // the search root the file was found below, or stays empty when the file
    // was found at the recorded path itself.

    // The recorded path as it is (search tag 1 or 3), then (tag 2 or 3) the
    // recorded path and the same path re-rooted below inPath with leading
    // folders dropped one at a time. Folders never match the re-rooted search.
    // A relative recorded path is looked for below inPath only, never
    // relative to the program's current folder.
    static std::optional<std::string> doResolveOriginalPathInPath(const std::optional<std::string>& origPath,
                                                                  const std::optional<std::string>& inPath,
                                                                  std::string* foundUnderRoot = nullptr);
    // The same below every root of the list in order, then below the visible
    // sub-folders of the first root (one level, in listing order).
    static std::optional<std::string>
    doResolveOriginalPathInArrayOfPaths(const std::optional<std::string>& origPath,
                                        const std::optional<std::vector<std::string>>& inArrayOfPaths,
                                        std::string* foundUnderRoot = nullptr);
};

// A folder holding nothing, or only a ".DS_Store"; a folder that cannot be
// listed is not empty.
bool isDirectoryEmpty(const std::string& path);

// The part of the file name before its first underscore; none when there is
// no underscore or the name starts with one.
std::optional<std::string> getBaseName1(const std::string& path);

// destRoot joined with the relative path's folders and its base name (the
// folders alone when there is no base name); created when asked.
std::string createEncapsulationFolder(const std::string& destRoot, const std::string& relativePath, bool create);

// Moves the item into the user's Trash, with the record that lets the desktop
// put it back. A name already in the Trash gets " %Y%m%d_%H%M%S" appended.
void moveFileToUserTrash(const std::string& path);

// "name.ext" -> "name %Y%m%d_%H%M%S.ext" (local time now); a second copy in
// the same second gets "-2" after the stamp, and so on.
std::string nameWithTimeStamp(const std::string& path, bool beforeExtension, int copy = 1);
// The same with the stamp of a given moment.
std::string nameWithTimeStamp(const std::string& path, bool beforeExtension, std::time_t when, int copy);

// True when both are regular files with the same bytes; false when either
// cannot be read.
bool haveSameContents(const std::string& first, const std::string& second);
