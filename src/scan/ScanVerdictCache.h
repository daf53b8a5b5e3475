#pragma once

#include "platform/PlistValue.h"
#include "scan/NotReadyReport.h"
#include "scan/SettleTracker.h"
#include "scan/WholePhoto.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unordered_map>
#include <vector>

class ScanChangeWatch;

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
//
// Folders the pass walks on a local disk are also watched for the kernel's
// change notes (ScanChangeWatch). While a folder stays watched, a file no note
// names is known unchanged without a stat, what a read found is kept even
// inside the racy window (a later write leaves a note) until the next full
// check, and the folder's
// listing is kept, with the entries that came or went since put right one by
// one. At least every
// kFullCheckEvery every file is stat'ed again, for changes that leave no note.
//
// In a watched folder, consecutive entries that a pass left waiting on their
// names and bytes alone form a waiting run: while no note names any of them
// (or a movie one of them waits for), the folder is listed as it was and the
// settings stay the same, the next pass passes over the run as a whole
// instead of entry by entry. The full check and a lost note end every run.
// Thread-safe.
class ScanVerdictCache {
public:
    static constexpr std::chrono::seconds kRacyWindow{2};
    static constexpr std::chrono::seconds kFullCheckEvery{1};

    struct Facts {
        std::optional<PlistValue> metaData; // the embedded block, when the photo has one
        bool hasPngTail = false;            // the block came from a PNG's tail
        WholePhoto::Verdict whole;
    };

    // One entry of a folder as the pass lists it.
    struct ListedEntry {
        std::string name;
        bool isDirectory = false; // a real folder: a link to one is not entered
        bool isLink = false;
    };
    using Listing = std::vector<ListedEntry>;

    // Consecutive entries of a folder's listing, from first to last, left
    // waiting (or passed over: movies, dot files) on what their names and
    // bytes say; see the class comment.
    struct WaitingRun {
        std::string first;
        std::string last;
        std::size_t count = 0;
        std::vector<std::string> awaitedMovies; // names in the folder, any letter case
        std::shared_ptr<NotReadyReport::Group> noted;
        uint64_t seenPass = 0;       // the last pass that passed over it
        std::size_t remembered = 0;  // of its entries, those with remembered facts
        bool holds(const std::string& name) const;
    };
    using WaitingRuns = std::vector<std::shared_ptr<WaitingRun>>;
    // The order of a listing, as operators are used to: case-insensitive by
    // name, ties broken by the exact name, so IMG_0002 follows IMG_0001.
    static bool comesBefore(const std::string& a, const std::string& b);

    // The wall clock (nanoseconds since the epoch, to compare with the file's
    // times) defaults to the system's; tests pass their own. watchChanges off
    // keeps every pass to stats alone.
    explicit ScanVerdictCache(std::function<int64_t()> wallNowNs = systemNowNs, bool watchChanges = true);
    ~ScanVerdictCache();

    static int64_t systemNowNs();
    void setClock(std::function<int64_t()> wallNowNs);
    int64_t nowNs() const;

    // The pass is about to walk this folder (status: its stat, taken now).
    // Watches it before any of its files is looked at, and answers its
    // listing when it is known unchanged since it was listed, else nothing.
    std::shared_ptr<const Listing> beginFolder(const std::string& folder, const struct stat& status);
    // The folder's listing, made after beginFolder.
    void rememberListing(const std::string& folder, const struct stat& status, std::shared_ptr<Listing> listing);

    // Waiting runs hold only for one set of the pass's settings: others end them all.
    void useRunsFor(uint64_t settings);
    // The folder's waiting runs in listing order; none unless the listing
    // beginFolder answered is the one they were found in.
    WaitingRuns runsOf(const std::string& folder) const;
    // A pass walked these consecutive entries (their full paths) of the folder
    // and found each lasting; replaces the runs it overlaps.
    void rememberRun(const std::string& folder, std::shared_ptr<WaitingRun> run, const std::vector<std::string>& paths);
    // The pass passed over the run: its files count as looked at in this pass.
    void passOver(WaitingRun& run);
    // The pass walked the run's entries instead.
    void dropRun(const std::string& folder, const std::shared_ptr<WaitingRun>& run);

    // The facts remembered for a file that is known unchanged since its state
    // was last confirmed, with that state, without looking at the file.
    std::optional<Facts> findUnchanged(const std::string& path, SettleTracker::Identity& identity);
    // The facts remembered for the file in exactly this state; counts the file
    // as seen in this pass either way.
    std::optional<Facts> find(const std::string& path, const SettleTracker::Identity& identity);
    // Remembers facts read from the file in this state, unless it changed too
    // lately; readStartedNs is the wall clock just before the read began.
    void store(const std::string& path, const SettleTracker::Identity& identity, Facts facts, int64_t readStartedNs);
    // The file no longer waits (it was chosen), or is no longer a photo.
    void forget(const std::string& path);

    // Starts a pass (reading the change notes that arrived); a pass that
    // walked the whole folder ends with endCompletePass, which forgets the
    // files it did not look at.
    void beginPass();
    void endCompletePass();

    std::size_t size() const;
    // Facts served from memory instead of a read, since the start (for tests).
    uint64_t hits() const;
    // Of those, the ones served without a stat.
    uint64_t hitsWithoutStat() const;
    // Entries passed over within waiting runs, since the start (for tests).
    uint64_t passedOver() const;

private:
    struct Entry {
        SettleTracker::Identity identity;
        Facts facts;
        bool racy = false;        // read within kRacyWindow of its last change
        uint64_t watchEpoch = 0;  // its folder's watch when it was read or confirmed; 0: none
        bool unchanged = false;   // confirmed, and no note named it since
        uint64_t seenPass = 0;
        std::shared_ptr<const WaitingRun> run; // the run it was last found in
    };
    struct Folder {
        uint64_t watchEpoch = 0; // 0: not watched
        uint64_t device = 0;
        uint64_t inode = 0;
        bool listed = false;
        int64_t modifiedNs = 0;
        int64_t changedNs = 0;
        std::shared_ptr<Listing> listing;
        std::set<std::string> cameOrWent; // names to put right in the listing
        uint64_t seenPass = 0;
        WaitingRuns runs; // in listing order, none overlapping
    };

    uint64_t watchEpochOf(const std::string& path) const;
    void forgetBeneath(const std::string& folder);
    // A note named this path: runs that hold it, or wait for it, end.
    void endRunsNaming(const std::string& path);
    // Every file stat'ed and every folder listed again; racy reads redone.
    void lookAgainAtEverything();
    static void putRight(const std::string& folder, Folder& known);

    std::function<int64_t()> fWallNowNs;
    mutable std::mutex fMutex;
    std::unique_ptr<ScanChangeWatch> fWatch;
    std::unordered_map<std::string, Entry> fEntries;
    std::unordered_map<std::string, Folder> fFolders;
    uint64_t fPass = 1;
    uint64_t fNextWatchEpoch = 1;
    int64_t fLastFullCheckNs = 0;
    bool fFullCheckDue = true;
    uint64_t fRunSettings = 0;
    uint64_t fHits = 0;
    uint64_t fHitsWithoutStat = 0;
    uint64_t fPassedOver = 0;
};
