#pragma once

#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

// The readers of photos take a path: each input is written to one file in a
// private folder (in memory where /dev/shm exists), replaced for every input.
namespace FuzzFile {

inline std::string folder()
{
    static const std::string path = [] {
        std::string pattern = (::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
        pattern += "/quon-fuzz-XXXXXX";
        const char* made = ::mkdtemp(pattern.data());
        if (!made)
            std::abort();
        return std::string(made);
    }();
    return path;
}

// Writes the input to folder()/name and returns the path.
inline std::string write(const std::string& name, const uint8_t* data, size_t size)
{
    const std::string path = folder() + "/" + name;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        std::abort();
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n <= 0)
            std::abort();
        done += static_cast<size_t>(n);
    }
    ::close(fd);
    return path;
}

// Removes the folder when the fuzzer exits.
inline void removeAtExit()
{
    // Made before the handler is registered, so it is destroyed after it runs.
    folder();
    std::atexit([] {
        const std::string path = folder();
        for (const char* name : {"photo.png", "photo.jpg"})
            ::unlink((path + "/" + name).c_str());
        ::rmdir(path.c_str());
    });
}

} // namespace FuzzFile
