#include "upload/MultipartBody.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <random>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string errorText(int error) { return std::strerror(error); }

bool writeAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

ssize_t preadRetrying(int fd, char* buffer, size_t size, uint64_t offset)
{
    for (;;) {
        const ssize_t n = ::pread(fd, buffer, size, static_cast<off_t>(offset));
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

// Copies size bytes of a file from its start into out: by the kernel where
// the file systems allow it, else through a buffer.
bool copyFile(int in, uint64_t size, int out)
{
    uint64_t done = 0;
    bool kernelCopy = true;
    while (kernelCopy && done < size) {
        off64_t from = static_cast<off64_t>(done);
        const ssize_t n = ::copy_file_range(in, &from, out, nullptr, static_cast<size_t>(size - done), 0);
        if (n > 0) {
            done += static_cast<uint64_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
            kernelCopy = false;
        } else {
            if (n == 0)
                errno = EIO; // the file ended early: it shrank
            return false;
        }
    }
    if (done == size)
        return true;
    constexpr size_t kChunk = 256 * 1024;
    const std::unique_ptr<char[]> buffer(new char[kChunk]); // left unfilled: every byte is read over
    while (done < size) {
        const size_t wanted = static_cast<size_t>(std::min<uint64_t>(kChunk, size - done));
        const ssize_t n = preadRetrying(in, buffer.get(), wanted, done);
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        if (!writeAll(out, buffer.get(), static_cast<size_t>(n)))
            return false;
        done += static_cast<uint64_t>(n);
    }
    return true;
}

// A name beside path in the form a crashed write leaves behind (six letters
// and digits of mixed kinds), which the start-up clean-up knows.
std::string temporaryNameBeside(const std::string& path)
{
    static constexpr char kCharacters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::mt19937 random{std::random_device{}()};
    std::uniform_int_distribution<int> pick(0, sizeof(kCharacters) - 2);
    std::string name = path + ".";
    for (int i = 0; i < 6; ++i)
        name += kCharacters[pick(random)];
    // Always two kinds: an upper-case letter, then a digit, in fixed places.
    name[path.size() + 1] = kCharacters[pick(random) % 26];
    name[path.size() + 4] = kCharacters[52 + pick(random) % 10];
    return name;
}

} // namespace

// The earlier copy at path, moved to a private name (temp) and opened for
// writing over; -1 when there is none fit for it, and nothing is left at temp.
// Only a plain file of this user with no other name is written over.
int MultipartBody::Snapshot::takeEarlierCopy(const std::string& path, std::string& temp)
{
    temp = temporaryNameBeside(path);
    if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, temp.c_str(), RENAME_NOREPLACE) != 0)
        return -1;
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    struct stat st { };
    const bool fit = fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
        st.st_uid == ::geteuid() && ((st.st_mode & 07777) == 0600 || ::fchmod(fd, 0600) == 0);
    if (fit)
        return fd;
    if (fd >= 0)
        ::close(fd);
    // Removed, as the replacing write would have: the name is the copy's. A
    // folder under the name goes back where it was.
    if (::unlink(temp.c_str()) != 0)
        ::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE);
    return -1;
}

std::string MultipartBody::escapedFileName(std::string_view fileName)
{
    std::string out;
    out.reserve(fileName.size());
    for (const char c : fileName) {
        switch (c) {
            case '"': out += "%22"; break;
            case '\r': out += "%0D"; break;
            case '\n': out += "%0A"; break;
            default: out += c;
        }
    }
    return out;
}

std::string MultipartBody::contentTypeValue() { return std::string("multipart/form-data; boundary=") + kBoundary; }

MultipartBody::~MultipartBody()
{
    for (const auto& segment : fSegments)
        if (segment.fd >= 0)
            ::close(segment.fd);
}

MultipartBody::Segment& MultipartBody::textSegment()
{
    if (fSegments.empty() || !fSegments.back().path.empty())
        fSegments.emplace_back();
    return fSegments.back();
}

void MultipartBody::addField(std::string_view name, std::string_view value)
{
    std::string& text = textSegment().text;
    text.append("\r\n--").append(kBoundary).append("\r\n");
    text.append("Content-Disposition: form-data; name=\"").append(name).append("\"\r\n\r\n");
    text.append(value);
}

void MultipartBody::addFilePartHeader(std::string_view name, std::string_view fileName, std::string_view contentType)
{
    std::string& text = textSegment().text;
    text.append("\r\n--").append(kBoundary).append("\r\n");
    text.append("Content-Disposition: form-data; name=\"")
        .append(name)
        .append("\"; filename=\"")
        .append(escapedFileName(fileName))
        .append("\"\r\n");
    text.append("Content-Type: ").append(contentType).append("\r\n\r\n");
}

bool MultipartBody::addFileContents(const std::string& path, std::string* error)
{
    // Non-blocking, so a pipe or device under the photo's name cannot stall the upload.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (error)
            *error = errorText(errno);
        return false;
    }
    struct stat st { };
    const bool statted = ::fstat(fd, &st) == 0;
    if (!statted || !S_ISREG(st.st_mode)) {
        const std::string reason = statted ? "not a regular file" : errorText(errno);
        ::close(fd);
        if (error)
            *error = reason;
        return false;
    }
    // Reading one byte proves the permission to read, not just to open.
    char probe;
    if (st.st_size > 0 && preadRetrying(fd, &probe, 1, 0) < 0) {
        const int cause = errno;
        ::close(fd);
        if (error)
            *error = errorText(cause);
        return false;
    }
    Segment segment;
    segment.path = path;
    segment.fd = fd;
    segment.size = static_cast<uint64_t>(st.st_size);
    fSegments.push_back(std::move(segment));
    return true;
}

void MultipartBody::close() { textSegment().text.append("\r\n--").append(kBoundary).append("--\r\n"); }

uint64_t MultipartBody::size() const
{
    uint64_t total = 0;
    for (const auto& segment : fSegments)
        total += segment.path.empty() ? segment.text.size() : segment.size;
    return total;
}

bool MultipartBody::checkFileUnchanged(const Segment& segment)
{
    struct stat st { };
    if (::fstat(segment.fd, &st) != 0) {
        fReadError = "cannot read " + segment.path + ": " + errorText(errno);
        return false;
    }
    if (static_cast<uint64_t>(st.st_size) != segment.size) {
        fFileChanged = true;
        fReadError = "the file " + segment.path + " changed size while it was sent (" + std::to_string(segment.size) +
            " bytes, now " + std::to_string(st.st_size) + ")";
        return false;
    }
    return true;
}

size_t MultipartBody::read(char* buffer, size_t capacity)
{
    // As much as fits, across the parts: fewer, fuller sends.
    size_t given = 0;
    while (given < capacity) {
        const size_t n = readPart(buffer + given, capacity - given);
        if (n == 0)
            break;
        given += n;
    }
    return readFailed() ? 0 : given;
}

size_t MultipartBody::readPart(char* buffer, size_t capacity)
{
    if (readFailed())
        return 0;
    while (fReadSegment < fSegments.size()) {
        const Segment& segment = fSegments[fReadSegment];
        const uint64_t length = segment.path.empty() ? segment.text.size() : segment.size;
        if (fReadOffset >= length) {
            // At the end of a file, its size must still be the one announced.
            if (!segment.path.empty() && !checkFileUnchanged(segment))
                return 0;
            ++fReadSegment;
            fReadOffset = 0;
            continue;
        }
        const size_t wanted = static_cast<size_t>(std::min<uint64_t>(capacity, length - fReadOffset));
        if (segment.path.empty()) {
            std::memcpy(buffer, segment.text.data() + fReadOffset, wanted);
            fReadOffset += wanted;
            return wanted;
        }
        const ssize_t n = preadRetrying(segment.fd, buffer, wanted, fReadOffset);
        if (n < 0) {
            fReadError = "cannot read " + segment.path + ": " + errorText(errno);
            return 0;
        }
        if (n == 0) {
            checkFileUnchanged(segment);
            if (!readFailed())
                fReadError = "the file " + segment.path + " ended early while it was sent";
            return 0;
        }
        fReadOffset += static_cast<uint64_t>(n);
        return static_cast<size_t>(n);
    }
    return 0;
}

bool MultipartBody::rewind()
{
    if (readFailed())
        return false;
    fReadSegment = 0;
    fReadOffset = 0;
    return true;
}

bool MultipartBody::writeTo(const std::string& path, std::string* error) const
{
    return snapshot().writeTo(path, error);
}

MultipartBody::Snapshot MultipartBody::snapshot() const
{
    Snapshot snapshot;
    snapshot.fParts.reserve(fSegments.size());
    for (const auto& segment : fSegments)
        snapshot.fParts.push_back({segment.path.empty() ? segment.text : std::string(),
                                   segment.path.empty() ? -1 : segment.fd, segment.size});
    return snapshot;
}

bool MultipartBody::Snapshot::writeTo(const std::string& path, std::string* error) const
{
    // The earlier copy is taken aside and written over: its pages are reused,
    // where a fresh file costs a large copy's worth of new pages and the
    // earlier one's release. A reader finds a whole copy, or for the length
    // of the write none.
    std::string temp;
    int fd = takeEarlierCopy(path, temp);
    if (fd < 0) {
        temp = path + ".XXXXXX";
        fd = ::mkostemp(temp.data(), O_CLOEXEC); // created 0600: the body holds the password
    }
    if (fd < 0) {
        if (error)
            *error = "cannot create a file beside " + path + ": " + errorText(errno);
        return false;
    }
    bool ok = true;
    uint64_t written = 0;
    for (const auto& part : fParts) {
        if (!ok)
            break;
        ok = part.fd < 0 ? writeAll(fd, part.text.data(), part.text.size()) : copyFile(part.fd, part.size, fd);
        written += part.fd < 0 ? part.text.size() : part.size;
    }
    // What was longer in the earlier copy goes.
    ok = ok && ::ftruncate(fd, static_cast<off_t>(written)) == 0;
    // A debug copy, not forced to disk. The name is free when the copy takes
    // it: replacing a file by rename makes the file system push the new one
    // to the disk at once.
    int cause = ok ? 0 : errno;
    ::close(fd);
    if (ok) {
        ::unlink(path.c_str());
        if (::rename(temp.c_str(), path.c_str()) != 0) {
            cause = errno;
            ok = false;
        }
    }
    if (!ok) {
        ::unlink(temp.c_str());
        if (error)
            *error = "cannot write " + path + ": " + errorText(cause);
        return false;
    }
    return true;
}
