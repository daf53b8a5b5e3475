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
// times moving, so what such a read found is not kept: the file is read on
// every pass, as without the cache, until a read comes after that window.
// Thread-safe.
class ScanVerdictCache {
public:
    static constexpr std::chrono::seconds kRacyWindow{2};

    struct Facts {
        std::optional<PlistValue> metaData; // the embedded block, when the photo has one
        bool hasPngTail = false;            // the block came from a PNG's tail
        WholePhoto::Verdict whole;
    };

    // The wall clock (nanoseconds since the epoch, to compare with the file's
    // times) defaults to the system's; tests pass their own.
    explicit ScanVerdictCache(std::function<int64_t()> wallNowNs = systemNowNs);

    static int64_t systemNowNs();
    void setClock(std::function<int64_t()> wallNowNs);
    int64_t nowNs() const;

    // The facts remembered for the file in exactly this state; counts the file
    // as seen in this pass either way.
    std::optional<Facts> find(const std::string& path, const SettleTracker::Identity& identity);
    // Remembers facts read from the file in this state, unless it changed too
    // lately; readStartedNs is the wall clock just before the read began.
    void store(const std::string& path, const SettleTracker::Identity& identity, Facts facts, int64_t readStartedNs);
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
    };

    std::function<int64_t()> fWallNowNs;
    mutable std::mutex fMutex;
    std::map<std::string, Entry> fEntries;
    std::set<std::string> fSeenThisPass;
    uint64_t fHits = 0;
};
