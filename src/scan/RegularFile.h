#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
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
    // The same into buffer, which holds at least length bytes; the count read.
    size_t readInto(uint64_t offset, char* buffer, uint64_t length) const;

    // Reads the whole file into memory when it holds at most limit bytes;
    // every later read is then served from there, so checking a photo's
    // markers costs no further system calls. False when it is larger or
    // shrank meanwhile (reads then go to the file).
    bool holdWhole(uint64_t limit);
    // The held bytes; empty when none are held.
    std::string_view held() const;

private:
    int fFd = -1;
    std::unique_ptr<std::string> fHeld; // fFileSize bytes at its start when set
    std::string fError;
    uint64_t fFileSize = 0;
    struct stat fStatus { };
};
