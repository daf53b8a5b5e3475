#include "filing/PhotoFiling.h"

#include "filing/ZVI_FileManager.h"
#include "platform/ConsoleLog.h"
#include "platform/FileUtil.h"
#include "scan/PathChecks.h"

#include <sys/stat.h>

namespace {

using WhenTaken = ZVI_FileManager::WhenTaken;

std::optional<struct stat> statNoFollow(const std::string& path)
{
    struct stat st { };
    if (::lstat(path.c_str(), &st) != 0)
        return std::nullopt;
    return st;
}

// How a movie's name follows its photo's: ".mov", ".MOV" or "_muxed.mov".
std::string movieSuffix(const std::string& photoPath, const std::string& moviePath)
{
    const std::string stem = FileUtil::pathWithoutExtension(photoPath);
    if (moviePath.size() > stem.size() && moviePath.compare(0, stem.size(), stem) == 0)
        return moviePath.substr(stem.size());
    return "." + FileUtil::pathExtension(moviePath);
}

// The mirror folder is the station's archive: a different photo under the
// arriving one's name moves aside, with its movie, instead of being replaced.
bool keepOlderPhotoAside(const std::string& photo, std::string& problem)
{
    const auto status = statNoFollow(photo);
    if (!status)
        return true;
    const auto movie = getMatchingExistingMovieFilePath(photo);
    const std::string suffix = movie ? movieSuffix(photo, *movie) : std::string();
    for (int copy = 1; copy < 1000; ++copy) {
        const std::string aside = nameWithTimeStamp(photo, true, status->st_mtim.tv_sec, copy);
        const std::string movieAside = FileUtil::pathWithoutExtension(aside) + suffix;
        if (statNoFollow(aside) || (movie && statNoFollow(movieAside)))
            continue;
        ConsoleLog::writef("A different photo is already filed as [%s]: it is kept as [%s]", photo.c_str(),
                           aside.c_str());
        if (!ZVI_FileManager::moveFileTo(photo, aside, WhenTaken::KeepExisting, &problem)) {
            problem = "the photo already filed under that name could not be kept aside: " + problem;
            return false;
        }
        if (movie && !ZVI_FileManager::moveFileTo(*movie, movieAside, WhenTaken::KeepExisting, &problem)) {
            // Without its movie the older photo must not stay aside either.
            std::string ignored;
            ZVI_FileManager::moveFileTo(aside, photo, WhenTaken::KeepExisting, &ignored);
            problem = "the movie already filed under that name could not be kept aside: " + problem;
            return false;
        }
        return true;
    }
    problem = "no free name to keep the photo already filed as " + photo;
    return false;
}

} // namespace

namespace PhotoFiling {

Outcome filePhotoAndMovie(const std::string& sourceRoot, const std::string& localItem, const std::string& destRoot,
                          PhotoRetryPauses::Destination destination, const Known& known)
{
    Outcome outcome;
    const bool toMirror = destination == PhotoRetryPauses::Destination::MirrorSiteFolder;
    const WhenTaken whenTaken = toMirror ? WhenTaken::Overwrite : WhenTaken::KeepBoth;
    const std::string photo = FileUtil::joinPath(sourceRoot, localItem);
    // Looked up by the movie's own path, so it is found with the photo gone.
    const auto movie = known.lookedUp ? known.movie : getMatchingExistingMovieFilePath(photo);
    std::string photoDest = FileUtil::joinPath(destRoot, localItem);

    ConsoleLog::writef("Preparing to Move [%s]/[%s]...", sourceRoot.c_str(), localItem.c_str());
    if (statNoFollow(photo)) {
        const auto there = known.lookedUp && known.destinationFree ? std::nullopt : statNoFollow(photoDest);
        if (toMirror && there && S_ISREG(there->st_mode) && !haveSameContents(photo, photoDest) &&
            !keepOlderPhotoAside(photoDest, outcome.problem)) {
            outcome.filed = false;
            return outcome;
        }
        std::string error;
        if (auto landed = ZVI_FileManager::moveItem(localItem, sourceRoot, destRoot, whenTaken, false, &error)) {
            photoDest = *landed;
        } else if (statNoFollow(photo)) {
            // The movie stays with its photo.
            outcome.filed = false;
            outcome.problem = error.empty() ? "the photo could not be moved" : error;
            return outcome;
        }
    }
    if (movie) {
        const std::string movieDest = FileUtil::pathWithoutExtension(photoDest) + movieSuffix(photo, *movie);
        ConsoleLog::writef("Preparing to Move [%s] to [%s]...", movie->c_str(), movieDest.c_str());
        std::string error;
        if (!ZVI_FileManager::moveFileTo(*movie, movieDest, whenTaken, &error) && statNoFollow(*movie)) {
            outcome.filed = false;
            outcome.problem = "its movie could not be moved: " + (error.empty() ? std::string("unknown") : error);
        }
    }
    outcome.destination = photoDest;
    return outcome;
}

} // namespace PhotoFiling
