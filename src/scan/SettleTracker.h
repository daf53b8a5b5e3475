#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <sys/stat.h>

// How long each file the scan waits on has stayed unchanged, as the scan
// itself saw it: a file counts as unchanged while its size, modification and
// change times and inode stay the same from one look to the next. Measured on
// the station's own steady clock, so a source folder on a share whose clock
// differs cannot make a file look older than it is. Kept across passes;
// thread-safe.
class SettleTracker {
public:
    using Clock = std::chrono::steady_clock;

    struct Identity {
        uint64_t device = 0;
        uint64_t inode = 0;
        uint64_t size = 0;
        int64_t modifiedNs = 0;
        int64_t changedNs = 0;

        static Identity of(const struct stat& status);
        // The entry itself, not what a link points to; nullopt when it is gone.
        static std::optional<Identity> ofPath(const std::string& path);
        bool operator==(const Identity& other) const;
        bool operator!=(const Identity& other) const { return !(*this == other); }
    };

    // The clock defaults to the steady clock; tests pass their own.
    explicit SettleTracker(std::function<Clock::time_point()> now = Clock::now);

    Clock::time_point now() const;
    // Replaces the clock (tests step through minutes without waiting).
    void setClock(std::function<Clock::time_point()> now);

    // Records this look at the file and answers how long it has been seen
    // unchanged: zero on the first look and after every change.
    Clock::duration unchangedFor(const std::string& path, const Identity& identity);

    // Starts a pass; a pass that walked the whole folder ends with
    // endCompletePass, which forgets the files it did not look at.
    void beginPass();
    void endCompletePass();

    std::size_t size() const;

private:
    struct Sighting {
        Identity identity;
        Clock::time_point since;
        uint64_t pass = 0; // the pass that looked at it last
    };

    std::function<Clock::time_point()> fNow;
    mutable std::mutex fMutex;
    std::map<std::string, Sighting> fFiles;
    uint64_t fPass = 1;
};
