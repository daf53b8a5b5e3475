#include "filing/PhotoRetryPausesFile.h"

#include "filing/PhotoRetryPauses.h"
#include "platform/AppPaths.h"
#include "platform/ConsoleLog.h"
#include "platform/FileUtil.h"
#include "platform/PropertyList.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A photo that is gone needs no pause; a link or folder put under its name is not it.
bool photoIsThere(const std::string& path)
{
    struct stat st { };
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The temporary files of writes a killed station never renamed ("NAME.XXXXXX").
void removeTornWrites(const std::string& path)
{
    const std::string folder = FileUtil::parentFolder(path);
    const std::string prefix = FileUtil::lastPathComponent(path) + ".";
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0) {
            const std::string leftover = folder + "/" + name;
            if (::unlink(leftover.c_str()) == 0)
                ConsoleLog::writef("Removed [%s], left by a station that ended while writing it", leftover.c_str());
        }
    }
    ::closedir(dir);
}

} // namespace

std::string PhotoRetryPausesFile::pathBeside(const std::string& journalPath)
{
    const std::string folder =
        journalPath.empty() ? FileUtil::parentFolder(AppPaths::logRoot()) : FileUtil::parentFolder(journalPath);
    return folder + "/" + kFileName;
}

void PhotoRetryPausesFile::setPath(std::string path)
{
    std::lock_guard lock(fMutex);
    fPath = std::move(path);
}

std::string PhotoRetryPausesFile::path() const
{
    std::lock_guard lock(fMutex);
    return fPath;
}

bool PhotoRetryPausesFile::save(const PhotoRetryPauses& pauses, std::string* error)
{
    std::lock_guard lock(fMutex);
    if (fPath.empty())
        return true;
    // Taken under the writer's lock: a later change never lands before an earlier one.
    const std::string xml = PropertyList::toXml(pauses.toPlist());
    std::string why;
    if (!FileUtil::makeFolders(FileUtil::parentFolder(fPath), 0700, &why) ||
        !FileUtil::writeFileAtomically(fPath, xml, 0600, &why)) {
        ConsoleLog::writef("UNABLE to write the photo pauses to [%s]: %s; they last until the station quits",
                           fPath.c_str(), why.c_str());
        if (error)
            *error = why;
        return false;
    }
    return true;
}

size_t PhotoRetryPausesFile::load(PhotoRetryPauses& pauses)
{
    std::lock_guard lock(fMutex);
    pauses.restore(PlistValue::array());
    if (fPath.empty())
        return 0;
    removeTornWrites(fPath);
    if (!FileUtil::exists(fPath))
        return 0;
    std::string why;
    const std::optional<PlistValue> list = PropertyList::readFile(fPath, &why);
    if (!list || !list->asArray()) {
        ConsoleLog::writef("The photo pauses in [%s] cannot be read (%s); the station starts without them",
                           fPath.c_str(), list ? "not a list of photos" : why.c_str());
        return 0;
    }
    PlistValue::Array kept;
    size_t gone = 0;
    for (const PlistValue& item : *list->asArray()) {
        const PlistValue* path = item.find("path");
        if (path && path->asString() && !photoIsThere(*path->asString())) {
            ++gone;
            continue;
        }
        kept.push_back(item);
    }
    pauses.restore(PlistValue::array(std::move(kept)));
    const size_t read = pauses.photos().size();
    if (read > 0 || gone > 0)
        ConsoleLog::writef("Read the pauses of %zu photo(s) from [%s]; %zu photo(s) gone meanwhile were dropped", read,
                           fPath.c_str(), gone);
    return read;
}
