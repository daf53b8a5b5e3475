#include "util/StationLock.h"

#include "platform/FileUtil.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace {

pid_t readPid(int fd)
{
    char text[32] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    if (n <= 0)
        return 0;
    char* end = nullptr;
    const long pid = std::strtol(text, &end, 10);
    return pid > 0 && end != text && (*end == '\n' || *end == '\0') ? static_cast<pid_t>(pid) : 0;
}

} // namespace

StationLock::~StationLock()
{
    if (fFd >= 0)
        ::close(fFd);
}

std::string StationLock::lockPathFor(const std::string& storePath)
{
    return FileUtil::joinPath(FileUtil::parentFolder(storePath), "quon-uploader.lock");
}

StationLock::Result StationLock::acquire(const std::string& lockPath, std::string* error)
{
    FileUtil::makeFolders(FileUtil::parentFolder(lockPath), 0700);
    const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        if (error)
            *error = "cannot open " + lockPath + ": " + std::strerror(errno);
        return Result::Failed;
    }
    int rc;
    while ((rc = ::flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) { }
    if (rc != 0) {
        const int cause = errno;
        if (cause != EWOULDBLOCK) {
            ::close(fd);
            if (error)
                *error = "cannot lock " + lockPath + ": " + std::strerror(cause);
            return Result::Failed;
        }
        // The holder writes its id just after locking; give it a moment.
        for (int attempt = 0; attempt < 20 && (fHolderPid = readPid(fd)) == 0; ++attempt)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ::close(fd);
        return Result::HeldByAnother;
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    // Should this fail, the lock holds all the same; only the id shown to a
    // second instance is missing.
    [[maybe_unused]] const bool written =
        ::ftruncate(fd, 0) == 0 && ::pwrite(fd, pid.data(), pid.size(), 0) == static_cast<ssize_t>(pid.size());
    fFd = fd;
    fHolderPid = ::getpid();
    return Result::Acquired;
}
