#include "filing/AcceptedPhotoFiling.h"

#include "filing/PhotoFiling.h"
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

const char* destinationName(Destination d) { return d == Destination::MirrorSiteFolder ? "mirror folder" : "Problem Folder"; }

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

// A whole copy of one file of the record already at its destination, left by
// a move onto another file system that was cut off after its copy.
std::optional<std::string> wholeCopyOf(const AcceptanceJournal::Record& r, const std::string& relative)
{
    const std::string source = FileUtil::joinPath(r.sourceRoot, relative);
    for (const std::string& copy : placesOfCopies(FileUtil::joinPath(r.destRoot, relative), r.destination))
        if (sameFileContents(source, copy))
            return copy;
    return std::nullopt;
}

// Puts one file of the record (a movie left behind) at its destination.
bool placeFile(const AcceptanceJournal::Record& r, const std::string& relative)
{
    const std::string source = FileUtil::joinPath(r.sourceRoot, relative);
    if (!existsNoFollow(source))
        return true; // moved before
    if (const auto copy = wholeCopyOf(r, relative)) {
        if (::unlink(source.c_str()) == 0) {
            ConsoleLog::writef("[%s] already lies whole at [%s]; the copy left in the source folder is removed",
                               source.c_str(), copy->c_str());
            return true;
        }
        return false;
    }
    const WhenTaken whenTaken =
        r.destination == Destination::MirrorSiteFolder ? WhenTaken::Overwrite : WhenTaken::KeepBoth;
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

PhotoFiling::Outcome file(const AcceptanceJournal::Record& r, bool justMade)
{
    PhotoFiling::Outcome outcome;
    struct stat photo { };
    if (justMade || ::lstat(r.photoPath().c_str(), &photo) == 0) {
        if (!justMade && !r.isStill(photo)) {
            // A new photo under the same name: not this record's to move; it is sent as any other.
            ConsoleLog::writef("[%s] is not the photo that was answered any more: it will be sent",
                               r.photoPath().c_str());
            AcceptanceJournal::shared().recordFiled(r);
            return outcome;
        }
        // Just made: the movie is the one the record names; in the mirror folder
        // a copy can only lie under the photo's own name.
        PhotoFiling::Known known;
        known.lookedUp = justMade;
        if (!r.movie.empty())
            known.movie = r.moviePath();
        known.destinationFree = justMade && r.destination == Destination::MirrorSiteFolder &&
            !existsNoFollow(FileUtil::joinPath(r.destRoot, r.item));
        if (const auto copy = known.destinationFree ? std::nullopt : wholeCopyOf(r, r.item)) {
            // A move onto another file system cut off after its copy was in place.
            if (::unlink(r.photoPath().c_str()) != 0)
                return {false, "the copy left in the source folder could not be removed"};
            ConsoleLog::writef("[%s] already lies whole at [%s]; the copy left in the source folder is removed",
                               r.photoPath().c_str(), copy->c_str());
            if (!r.movie.empty() && !placeFile(r, r.movie))
                outcome = {false, "its movie could not be moved"};
        } else {
            // The photo and its movie as one pair, by the mirror's naming rules.
            outcome = PhotoFiling::filePhotoAndMovie(r.sourceRoot, r.item, r.destRoot, r.destination, known);
        }
    } else if (!r.movie.empty()) {
        // The photo was moved before a kill; its movie follows it.
        ConsoleLog::writef("Preparing to Move [%s]/[%s]...", r.sourceRoot.c_str(), r.movie.c_str());
        if (!placeFile(r, r.movie))
            outcome = {false, "its movie could not be moved"};
    }
    if (outcome.filed)
        AcceptanceJournal::shared().recordFiled(r);
    return outcome;
}

} // namespace AcceptedPhotoFiling
