#include "scan/ScanVerdictCache.h"

#include "scan/ScanChangeWatch.h"

#include <algorithm>
#include <ctime>
#include <strings.h>
#include <utility>

namespace {

int64_t nanoseconds(const timespec& t) { return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec; }

std::string folderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool isBeneath(const std::string& path, const std::string& folder)
{
    return path.size() > folder.size() && path[folder.size()] == '/' && path.compare(0, folder.size(), folder) == 0;
}

} // namespace

ScanVerdictCache::ScanVerdictCache(std::function<int64_t()> wallNowNs, bool watchChanges)
    : fWallNowNs(std::move(wallNowNs)), fWatch(watchChanges ? std::make_unique<ScanChangeWatch>() : nullptr)
{
}

ScanVerdictCache::~ScanVerdictCache() = default;

int64_t ScanVerdictCache::systemNowNs()
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return nanoseconds(now);
}

void ScanVerdictCache::setClock(std::function<int64_t()> wallNowNs)
{
    std::lock_guard lock(fMutex);
    fWallNowNs = std::move(wallNowNs);
}

int64_t ScanVerdictCache::nowNs() const
{
    std::lock_guard lock(fMutex);
    return fWallNowNs();
}

uint64_t ScanVerdictCache::watchEpochOf(const std::string& path) const
{
    const auto it = fFolders.find(folderOf(path));
    return it == fFolders.end() ? 0 : it->second.watchEpoch;
}

bool ScanVerdictCache::WaitingRun::holds(const std::string& name) const
{
    return !comesBefore(name, first) && !comesBefore(last, name);
}

void ScanVerdictCache::endRunsNaming(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return;
    const auto it = fFolders.find(path.substr(0, slash));
    if (it == fFolders.end() || it->second.runs.empty())
        return;
    const std::string name = path.substr(slash + 1);
    WaitingRuns& runs = it->second.runs;
    runs.erase(std::remove_if(runs.begin(), runs.end(),
                              [&name](const std::shared_ptr<WaitingRun>& run) {
                                  if (run->holds(name))
                                      return true;
                                  for (const std::string& movie : run->awaitedMovies)
                                      if (strcasecmp(movie.c_str(), name.c_str()) == 0)
                                          return true;
                                  return false;
                              }),
               runs.end());
}

void ScanVerdictCache::useRunsFor(uint64_t settings)
{
    std::lock_guard lock(fMutex);
    if (settings == fRunSettings)
        return;
    fRunSettings = settings;
    for (auto& [path, folder] : fFolders)
        folder.runs.clear();
}

ScanVerdictCache::WaitingRuns ScanVerdictCache::runsOf(const std::string& folder) const
{
    std::lock_guard lock(fMutex);
    const auto it = fFolders.find(folder);
    return it == fFolders.end() ? WaitingRuns{} : it->second.runs;
}

void ScanVerdictCache::rememberRun(const std::string& folder, std::shared_ptr<WaitingRun> run,
                                   const std::vector<std::string>& paths)
{
    std::lock_guard lock(fMutex);
    const auto it = fFolders.find(folder);
    if (it == fFolders.end() || it->second.watchEpoch == 0 || !it->second.listed || it->second.seenPass != fPass)
        return; // without the notes nothing vouches for the run
    WaitingRuns& runs = it->second.runs;
    runs.erase(std::remove_if(runs.begin(), runs.end(),
                              [&run](const std::shared_ptr<WaitingRun>& old) {
                                  return !comesBefore(old->last, run->first) && !comesBefore(run->last, old->first);
                              }),
               runs.end());
    run->remembered = 0;
    for (const std::string& path : paths)
        if (const auto entry = fEntries.find(path); entry != fEntries.end()) {
            entry->second.run = run;
            ++run->remembered;
        }
    run->seenPass = fPass;
    const auto at = std::lower_bound(runs.begin(), runs.end(), run,
                                     [](const auto& a, const auto& b) { return comesBefore(a->first, b->first); });
    runs.insert(at, std::move(run));
}

void ScanVerdictCache::passOver(WaitingRun& run)
{
    std::lock_guard lock(fMutex);
    run.seenPass = fPass;
    fHits += run.remembered;
    fHitsWithoutStat += run.remembered;
    fPassedOver += run.count;
}

void ScanVerdictCache::dropRun(const std::string& folder, const std::shared_ptr<WaitingRun>& run)
{
    std::lock_guard lock(fMutex);
    const auto it = fFolders.find(folder);
    if (it == fFolders.end())
        return;
    WaitingRuns& runs = it->second.runs;
    runs.erase(std::remove(runs.begin(), runs.end(), run), runs.end());
}

void ScanVerdictCache::forgetBeneath(const std::string& folder)
{
    for (auto& [path, entry] : fEntries)
        if (isBeneath(path, folder))
            entry.unchanged = false;
    for (auto& [path, known] : fFolders)
        if (path == folder || isBeneath(path, folder)) {
            known.watchEpoch = 0;
            known.listed = false;
            known.listing.reset();
            known.cameOrWent.clear();
            known.runs.clear();
        }
}

bool ScanVerdictCache::comesBefore(const std::string& a, const std::string& b)
{
    const int c = strcasecmp(a.c_str(), b.c_str());
    return c != 0 ? c < 0 : a < b;
}

void ScanVerdictCache::putRight(const std::string& folder, Folder& known)
{
    // The listing handed to an earlier pass may still be in use: change a copy.
    if (known.listing.use_count() > 1)
        known.listing = std::make_shared<Listing>(*known.listing);
    Listing& listing = *known.listing;
    for (const std::string& name : known.cameOrWent) {
        // What the folder holds now; a change after this look leaves a note.
        struct stat status { };
        const bool present = ::lstat((folder + "/" + name).c_str(), &status) == 0;
        const auto at = std::lower_bound(listing.begin(), listing.end(), name,
                                         [](const ListedEntry& e, const std::string& n) { return comesBefore(e.name, n); });
        const bool listed = at != listing.end() && at->name == name;
        if (!present) {
            if (listed)
                listing.erase(at);
            continue;
        }
        const ListedEntry entry{name, S_ISDIR(status.st_mode), S_ISLNK(status.st_mode)};
        if (listed)
            *at = entry;
        else
            listing.insert(at, entry);
    }
    known.cameOrWent.clear();
}

std::shared_ptr<const ScanVerdictCache::Listing> ScanVerdictCache::beginFolder(const std::string& folder,
                                                                        const struct stat& status)
{
    std::lock_guard lock(fMutex);
    Folder& known = fFolders[folder];
    known.seenPass = fPass;
    const auto device = static_cast<uint64_t>(status.st_dev);
    const auto inode = static_cast<uint64_t>(status.st_ino);
    if (known.watchEpoch != 0 && (known.device != device || known.inode != inode))
        forgetBeneath(folder); // another folder stands at this path now
    if (known.watchEpoch == 0 && fWatch && fWatch->watch(folder)) {
        known.watchEpoch = fNextWatchEpoch++;
        known.device = device;
        known.inode = inode;
        known.listed = false;
    }
    if (known.watchEpoch == 0 || !known.listed) {
        known.runs.clear(); // listed afresh: its runs are found again
        return nullptr;
    }
    if (!known.cameOrWent.empty()) {
        putRight(folder, known);
        known.modifiedNs = nanoseconds(status.st_mtim);
        known.changedNs = nanoseconds(status.st_ctim);
    }
    // The folder's own times move only with its entries, each of which left a note.
    if (known.modifiedNs != nanoseconds(status.st_mtim) || known.changedNs != nanoseconds(status.st_ctim)) {
        known.runs.clear();
        return nullptr;
    }
    return known.listing;
}

void ScanVerdictCache::rememberListing(const std::string& folder, const struct stat& status,
                                       std::shared_ptr<Listing> listing)
{
    std::lock_guard lock(fMutex);
    const auto it = fFolders.find(folder);
    if (it == fFolders.end() || it->second.watchEpoch == 0)
        return; // only a watched folder's listing is known to stay as it was
    it->second.listed = true;
    it->second.cameOrWent.clear();
    it->second.modifiedNs = nanoseconds(status.st_mtim);
    it->second.changedNs = nanoseconds(status.st_ctim);
    it->second.listing = std::move(listing);
}

std::optional<ScanVerdictCache::Facts> ScanVerdictCache::findUnchanged(const std::string& path,
                                                                       SettleTracker::Identity& identity)
{
    std::lock_guard lock(fMutex);
    const auto it = fEntries.find(path);
    if (it == fEntries.end() || !it->second.unchanged)
        return std::nullopt;
    it->second.seenPass = fPass;
    identity = it->second.identity;
    ++fHits;
    ++fHitsWithoutStat;
    return it->second.facts;
}

std::optional<ScanVerdictCache::Facts> ScanVerdictCache::find(const std::string& path,
                                                              const SettleTracker::Identity& identity)
{
    std::lock_guard lock(fMutex);
    const auto it = fEntries.find(path);
    if (it == fEntries.end())
        return std::nullopt;
    Entry& entry = it->second;
    entry.seenPass = fPass;
    const uint64_t epoch = watchEpochOf(path);
    // A read inside the racy window holds only while its folder has been
    // watched ever since: a change in the same clock tick left a note.
    if (entry.identity != identity || (entry.racy && (epoch == 0 || epoch != entry.watchEpoch))) {
        fEntries.erase(it);
        return std::nullopt;
    }
    if (epoch != 0) { // the watch was in place before this stat
        entry.watchEpoch = epoch;
        entry.unchanged = true;
    }
    ++fHits;
    return entry.facts;
}

void ScanVerdictCache::store(const std::string& path, const SettleTracker::Identity& identity, Facts facts,
                             int64_t readStartedNs)
{
    const int64_t lastChangeNs = std::max(identity.modifiedNs, identity.changedNs);
    const int64_t windowNs = std::chrono::nanoseconds(kRacyWindow).count();
    std::lock_guard lock(fMutex);
    const bool racy = lastChangeNs > readStartedNs - windowNs;
    const uint64_t epoch = watchEpochOf(path);
    if (racy && epoch == 0) {
        fEntries.erase(path);
        return;
    }
    Entry entry{identity, std::move(facts), racy, epoch, epoch != 0, fPass, nullptr};
    fEntries.insert_or_assign(path, std::move(entry));
}

void ScanVerdictCache::forget(const std::string& path)
{
    std::lock_guard lock(fMutex);
    fEntries.erase(path);
}

void ScanVerdictCache::beginPass()
{
    std::lock_guard lock(fMutex);
    ++fPass;
    const int64_t now = fWallNowNs();
    const int64_t everyNs = std::chrono::nanoseconds(kFullCheckEvery).count();
    if (fFullCheckDue || now < fLastFullCheckNs || now - fLastFullCheckNs >= everyNs) {
        // Every file is stat'ed and every folder listed again in this pass.
        lookAgainAtEverything();
        fLastFullCheckNs = now;
        fFullCheckDue = false;
    }
    if (!fWatch)
        return;
    const ScanChangeWatch::Notes notes = fWatch->collect();
    // Folders whose watch is gone, even among notes cut short by an overflow.
    for (const std::string& folder : notes.unwatched)
        forgetBeneath(folder);
    if (notes.lostTrack) {
        fFullCheckDue = true;
        lookAgainAtEverything();
        return;
    }
    for (const std::string& path : notes.changed) {
        if (const auto it = fEntries.find(path); it != fEntries.end())
            it->second.unchanged = false;
        endRunsNaming(path);
    }
    for (const auto& [folder, name] : notes.cameOrWent)
        if (const auto it = fFolders.find(folder); it != fFolders.end() && it->second.listed)
            it->second.cameOrWent.insert(name);
}

void ScanVerdictCache::lookAgainAtEverything()
{
    for (auto it = fEntries.begin(); it != fEntries.end();) {
        // A read inside the racy window rests on the notes alone: a change in
        // the same clock tick, noted in no queue (an overflow, a write
        // through a map or another link), would leave its stat unchanged.
        if (it->second.racy) {
            it = fEntries.erase(it);
            continue;
        }
        it->second.unchanged = false;
        ++it;
    }
    for (auto& [path, folder] : fFolders) {
        folder.listed = false;
        folder.runs.clear();
    }
}

void ScanVerdictCache::endCompletePass()
{
    std::lock_guard lock(fMutex);
    for (auto it = fEntries.begin(); it != fEntries.end();) {
        const Entry& entry = it->second;
        const bool seen = entry.seenPass == fPass || (entry.run && entry.run->seenPass == fPass);
        it = seen ? std::next(it) : fEntries.erase(it);
    }
    // A folder the pass no longer met is gone or out of reach: met again, it is watched afresh.
    // Its kernel watch goes too, so folders left behind (an earlier source
    // folder) neither hold watches nor fill the queue with notes.
    for (auto it = fFolders.begin(); it != fFolders.end();) {
        if (it->second.seenPass == fPass) {
            ++it;
            continue;
        }
        if (fWatch)
            fWatch->unwatch(it->first);
        it = fFolders.erase(it);
    }
}

std::size_t ScanVerdictCache::size() const
{
    std::lock_guard lock(fMutex);
    return fEntries.size();
}

uint64_t ScanVerdictCache::hits() const
{
    std::lock_guard lock(fMutex);
    return fHits;
}

uint64_t ScanVerdictCache::hitsWithoutStat() const
{
    std::lock_guard lock(fMutex);
    return fHitsWithoutStat;
}

uint64_t ScanVerdictCache::passedOver() const
{
    std::lock_guard lock(fMutex);
    return fPassedOver;
}
