#include "scan/RegularFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

RegularFile RegularFile::open(const std::string& path)
{
    RegularFile file;
    // O_NONBLOCK keeps a FIFO dropped into the folder from stalling the scan.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        file.fError = std::strerror(errno);
        return file;
    }
    struct stat info { };
    if (::fstat(fd, &info) != 0) {
        file.fError = std::strerror(errno);
        ::close(fd);
        return file;
    }
    if (!S_ISREG(info.st_mode)) {
        file.fError = "not a regular file";
        ::close(fd);
        return file;
    }
    file.fFd = fd;
    file.fFileSize = static_cast<uint64_t>(info.st_size);
    file.fStatus = info;
    return file;
}

RegularFile::~RegularFile()
{
    if (fFd >= 0)
        ::close(fFd);
}

RegularFile::RegularFile(RegularFile&& other) noexcept { *this = std::move(other); }

RegularFile& RegularFile::operator=(RegularFile&& other) noexcept
{
    if (this != &other) {
        if (fFd >= 0)
            ::close(fFd);
        fFd = std::exchange(other.fFd, -1);
        fError = std::move(other.fError);
        fFileSize = std::exchange(other.fFileSize, 0);
        fStatus = other.fStatus;
    }
    return *this;
}

std::string RegularFile::readTail(uint64_t length) const
{
    const uint64_t wanted = std::min(length, fFileSize);
    return readAt(fFileSize - wanted, wanted);
}

std::string RegularFile::readAt(uint64_t offset, uint64_t length) const
{
    if (fFd < 0 || offset >= fFileSize)
        return {};
    const uint64_t wanted = std::min(length, fFileSize - offset);
    std::string bytes(static_cast<size_t>(wanted), '\0');
    size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::pread(fFd, bytes.data() + got, bytes.size() - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    bytes.resize(got);
    return bytes;
}
