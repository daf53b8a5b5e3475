#include "util/RestartMarker.h"

#include "platform/FileUtil.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

namespace RestartMarker {

std::string pathFor(const std::string& storePath)
{
    return FileUtil::joinPath(FileUtil::parentFolder(storePath), "quon-uploader.restart");
}

bool leave(const std::string& markerPath, std::string* error)
{
    const std::string note = "restart after a hung upload, pid " + std::to_string(::getpid()) + "\n";
    return FileUtil::writeFileAtomically(markerPath, note, 0600, error);
}

void discard(const std::string& markerPath) { ::unlink(markerPath.c_str()); }

bool take(const std::string& markerPath, std::chrono::seconds maxAge)
{
    struct stat info { };
    if (::lstat(markerPath.c_str(), &info) != 0)
        return false;
    ::unlink(markerPath.c_str());
    if (!S_ISREG(info.st_mode))
        return false;
    const std::time_t age = std::time(nullptr) - info.st_mtime;
    return age >= -60 && age <= maxAge.count();
}

} // namespace RestartMarker
