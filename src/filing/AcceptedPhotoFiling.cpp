#include "filing/AcceptedPhotoFiling.h"

#include "filing/ZVI_FileManager.h"
#include "platform/ConsoleLog.h"
#include "platform/FileUtil.h"
#include "scan/PathChecks.h"
#include "scan/UploadItemInfo.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Destination = AcceptanceJournal::Destination;
using WhenTaken = ZVI_FileManager::WhenTaken;

const char* destinationName(Destination d) { return d == Destination::MirrorSite ? "mirror folder" : "Problem Folder"; }

bool existsNoFollow(const std::string& path)
{
    struct stat st { };
    return ::lstat(path.c_str(), &st) == 0;
}

// Where a copy of the file may already lie: its own name at the destination
// and, in the Problem Folder, the time-stamped names given when that was taken.
std::vector<std::string> placesOfCopies(const std::string& destPath, Destination destination)
{
    std::vector<std::string> places{destPath};
    if (destination != Destination::ProblemFolder)
        return places;
    const std::string folder = FileUtil::parentFolder(destPath);
    const std::string name = FileUtil::lastPathComponent(destPath);
    const std::string extension = FileUtil::pathExtension(name);
    const std::string stem = FileUtil::pathWithoutExtension(name) + " ";
    const std::string tail = extension.empty() ? std::string() : "." + extension;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* d = ::readdir(dir)) {
            const std::string other = d->d_name;
            if (other.size() > stem.size() + tail.size() && other.starts_with(stem) && other.ends_with(tail))
                places.push_back(folder + "/" + other);
        }
        ::closedir(dir);
    }
    return places;
}

// Puts one file (the photo or its movie) of the record at its destination.
bool placeFile(const AcceptanceJournal::Record& r, const std::string& relative)
{
    const std::string source = FileUtil::joinPath(r.sourceRoot, relative);
    if (!existsNoFollow(source))
        return true; // moved before
    const std::string destPath = FileUtil::joinPath(r.destRoot, relative);
    // A move onto another file system cut off after its copy was in place:
    // the whole copy stays, the source goes.
    for (const std::string& copy : placesOfCopies(destPath, r.destination)) {
        if (sameFileContents(source, copy)) {
            if (::unlink(source.c_str()) == 0) {
                ConsoleLog::writef("[%s] already lies whole at [%s]; the copy left in the source folder is removed",
                                   source.c_str(), copy.c_str());
                return true;
            }
            break;
        }
    }
    const WhenTaken whenTaken = r.destination == Destination::MirrorSite ? WhenTaken::Overwrite : WhenTaken::KeepBoth;
    return ZVI_FileManager::moveItem(relative, r.sourceRoot, r.destRoot, whenTaken, false).has_value();
}

} // namespace

namespace AcceptedPhotoFiling {

std::optional<AcceptanceJournal::Record> recordFor(const UploadItemInfo& item, Destination destination,
                                                   const std::string& destRoot)
{
    AcceptanceJournal::Record r;
    r.sourceRoot = item.localRootFolder;
    r.item = item.localItem;
    r.destination = destination;
    r.destRoot = destRoot;
    if (!AcceptanceJournal::identify(r.photoPath(), r.size, r.modifiedNs))
        return std::nullopt;
    // The lookup tests the movie's own path, as the filing always did.
    if (auto movie = getMatchingExistingMovieFilePath(r.photoPath())) {
        const std::string parent = FileUtil::parentFolder(item.localItem);
        r.movie =
            parent == "." ? FileUtil::lastPathComponent(*movie) : parent + "/" + FileUtil::lastPathComponent(*movie);
    }
    return r;
}

void recordAcceptance(const AcceptanceJournal::Record& record)
{
    if (AcceptanceJournal::shared().recordAcceptance(record))
        ConsoleLog::writef("Accepted [%s]: the answer files it into the %s (acceptance journal)",
                           record.photoPath().c_str(), destinationName(record.destination));
}

bool file(const AcceptanceJournal::Record& r)
{
    ConsoleLog::writef("Preparing to Move [%s]/[%s]...", r.sourceRoot.c_str(), r.item.c_str());
    bool photoPlaced = true;
    bool otherPhotoThere = false;
    if (existsNoFollow(r.photoPath())) {
        uint64_t size = 0;
        int64_t modified = 0;
        if (AcceptanceJournal::identify(r.photoPath(), size, modified) && size == r.size &&
            modified == r.modifiedNs)
            photoPlaced = placeFile(r, r.item);
        else
            otherPhotoThere = true; // a new photo under the same name: not this record's to move
    }
    bool moviePlaced = true;
    if (!r.movie.empty() && !otherPhotoThere) {
        ConsoleLog::writef("Preparing to Move [%s]/[%s]...", r.sourceRoot.c_str(), r.movie.c_str());
        moviePlaced = placeFile(r, r.movie);
    }
    if (photoPlaced && moviePlaced) {
        AcceptanceJournal::shared().recordFiled(r);
        return true;
    }
    ConsoleLog::writef("[%s] was answered but could not be filed into the %s yet; it is not sent again and its "
                       "filing is tried again at the next pass",
                       r.photoPath().c_str(), destinationName(r.destination));
    return false;
}

size_t fileAllPending()
{
    AcceptanceJournal& journal = AcceptanceJournal::shared();
    journal.ensureOpen();
    for (const AcceptanceJournal::Record& r : journal.pending())
        file(r);
    return journal.pending().size();
}

} // namespace AcceptedPhotoFiling
