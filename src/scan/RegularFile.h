#pragma once

#include <cstdint>
#include <string>
#include <sys/stat.h>

// A photo opened read-only for its metadata. Only regular files open (a FIFO
// or a device dropped into the folder is refused without blocking), and bytes
// are copied out with positioned reads rather than mapped: a photo that the
// station truncates or rewrites while it is read yields short data, never a
// bus error.
class RegularFile {
public:
    static RegularFile open(const std::string& path);

    RegularFile() = default;
    ~RegularFile();
    RegularFile(RegularFile&& other) noexcept;
    RegularFile& operator=(RegularFile&& other) noexcept;
    RegularFile(const RegularFile&) = delete;
    RegularFile& operator=(const RegularFile&) = delete;

    bool isOpen() const { return fFd >= 0; }
    const std::string& error() const { return fError; }
    uint64_t fileSize() const { return fFileSize; }
    // The file's status when it was opened.
    const struct stat& status() const { return fStatus; }

    // The last length bytes (fewer when the file is shorter or shrank).
    std::string readTail(uint64_t length) const;
    // Up to length bytes from offset (fewer at the end of the file).
    std::string readAt(uint64_t offset, uint64_t length) const;

private:
    int fFd = -1;
    std::string fError;
    uint64_t fFileSize = 0;
    struct stat fStatus { };
};
