#pragma once

#include "platform/PlistValue.h"
#include "scan/SettleTracker.h"
#include "scan/WholePhoto.h"

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>

// What the scan learnt from the bytes of a photo it had to leave behind (its
// embedded block, whether it ends whole), kept by path for as long as the
// file stays as it was seen: same device, inode, size, modification and change
// time. A later pass over a waiting file that has not changed then costs one
// stat instead of opening and reading it again. Only what the bytes say is
// kept: the tests that rest on time (a file unchanged for long enough) or on
// other files (its movies) are made afresh on every pass.
//
// A file changed within kRacyWindow before it was read could change again in
// the same tick of the file system's clock (2 s on some cards) without its
// times moving. Its facts are then only provisional: they serve the passes of
// the next kRacyWindow, and the first pass after that reads the file again
// (the scan is told to look again then, so that pass comes). Thread-safe.
class ScanVerdictCache {
public:
    using Clock = SettleTracker::Clock;
    static constexpr std::chrono::seconds kRacyWindow{2};

    struct Facts {
        std::optional<PlistValue> metaData; // the embedded block, when the photo has one
        bool hasPngTail = false;            // the block came from a PNG's tail
        WholePhoto::Verdict whole;
    };

    // The wall clock (nanoseconds since the epoch, to compare with the file's
    // times) and the steady clock default to the system's; tests pass their own.
    explicit ScanVerdictCache(std::function<int64_t()> wallNowNs = systemNowNs,
                              std::function<Clock::time_point()> steadyNow = Clock::now);

    static int64_t systemNowNs();
    void setClocks(std::function<int64_t()> wallNowNs, std::function<Clock::time_point()> steadyNow = Clock::now);
    int64_t nowNs() const;

    // The facts remembered for the file in exactly this state; counts the file
    // as seen in this pass either way. For provisional facts, recheckIn says
    // when the file is to be read again.
    std::optional<Facts> find(const std::string& path, const SettleTracker::Identity& identity,
                              std::optional<Clock::duration>* recheckIn);
    // Remembers facts read from the file in this state; readStartedNs is the
    // wall clock just before the read began. Answers when to read it again
    // when the facts are only provisional.
    std::optional<Clock::duration> store(const std::string& path, const SettleTracker::Identity& identity,
                                         Facts facts, int64_t readStartedNs);
    // The file no longer waits (it was chosen), or is no longer a photo.
    void forget(const std::string& path);

    // Starts a pass; a pass that walked the whole folder ends with
    // endCompletePass, which forgets the files it did not look at.
    void beginPass();
    void endCompletePass();

    std::size_t size() const;
    // Facts served from memory instead of a read, since the start (for tests).
    uint64_t hits() const;

private:
    struct Entry {
        SettleTracker::Identity identity;
        Facts facts;
        bool provisional = false;
        Clock::time_point readAt; // steady clock
    };

    std::function<int64_t()> fWallNowNs;
    std::function<Clock::time_point()> fSteadyNow;
    mutable std::mutex fMutex;
    std::map<std::string, Entry> fEntries;
    std::set<std::string> fSeenThisPass;
    uint64_t fHits = 0;
};
