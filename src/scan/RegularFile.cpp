#include "scan/RegularFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

// Each thread keeps the buffer of the last whole read for the next one, so a
// photo read into memory costs no allocation (and no fresh pages) each time.
thread_local std::unique_ptr<std::string> tSpareBuffer;

} // namespace

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
    if (fHeld && !tSpareBuffer)
        tSpareBuffer = std::move(fHeld);
}

bool RegularFile::holdWhole(uint64_t limit)
{
    if (fFd < 0 || fHeld || fFileSize == 0 || fFileSize > limit)
        return fHeld != nullptr;
    std::unique_ptr<std::string> buffer = tSpareBuffer ? std::move(tSpareBuffer) : std::make_unique<std::string>();
    if (buffer->size() < fFileSize)
        buffer->resize(static_cast<size_t>(fFileSize));
    if (readInto(0, buffer->data(), fFileSize) != fFileSize) {
        tSpareBuffer = std::move(buffer);
        return false;
    }
    fHeld = std::move(buffer);
    return true;
}

std::string_view RegularFile::held() const
{
    return fHeld ? std::string_view(fHeld->data(), static_cast<size_t>(fFileSize)) : std::string_view();
}

RegularFile::RegularFile(RegularFile&& other) noexcept { *this = std::move(other); }

RegularFile& RegularFile::operator=(RegularFile&& other) noexcept
{
    if (this != &other) {
        if (fFd >= 0)
            ::close(fFd);
        fFd = std::exchange(other.fFd, -1);
        fHeld = std::move(other.fHeld);
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
    bytes.resize(readInto(offset, bytes.data(), wanted));
    return bytes;
}

size_t RegularFile::readInto(uint64_t offset, char* buffer, uint64_t length) const
{
    if (fFd < 0 || offset >= fFileSize)
        return 0;
    const size_t wanted = static_cast<size_t>(std::min(length, fFileSize - offset));
    if (fHeld) {
        std::memcpy(buffer, fHeld->data() + offset, wanted);
        return wanted;
    }
    size_t got = 0;
    while (got < wanted) {
        const ssize_t n = ::pread(fFd, buffer + got, wanted - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    return got;
}
