#include "scan/ScanVerdictCache.h"

#include <algorithm>
#include <ctime>
#include <utility>

ScanVerdictCache::ScanVerdictCache(std::function<int64_t()> wallNowNs) : fWallNowNs(std::move(wallNowNs)) { }

int64_t ScanVerdictCache::systemNowNs()
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
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

std::optional<ScanVerdictCache::Facts> ScanVerdictCache::find(const std::string& path,
                                                              const SettleTracker::Identity& identity)
{
    std::lock_guard lock(fMutex);
    const auto it = fEntries.find(path);
    if (it == fEntries.end())
        return std::nullopt;
    fSeenThisPass.insert(path);
    if (it->second.identity != identity) {
        fEntries.erase(it);
        return std::nullopt;
    }
    ++fHits;
    return it->second.facts;
}

void ScanVerdictCache::store(const std::string& path, const SettleTracker::Identity& identity, Facts facts,
                             int64_t readStartedNs)
{
    const int64_t lastChangeNs = std::max(identity.modifiedNs, identity.changedNs);
    const int64_t windowNs = std::chrono::nanoseconds(kRacyWindow).count();
    std::lock_guard lock(fMutex);
    if (lastChangeNs > readStartedNs - windowNs) {
        fEntries.erase(path);
        return;
    }
    fSeenThisPass.insert(path);
    fEntries.insert_or_assign(path, Entry{identity, std::move(facts)});
}

void ScanVerdictCache::forget(const std::string& path)
{
    std::lock_guard lock(fMutex);
    fEntries.erase(path);
}

void ScanVerdictCache::beginPass()
{
    std::lock_guard lock(fMutex);
    fSeenThisPass.clear();
}

void ScanVerdictCache::endCompletePass()
{
    std::lock_guard lock(fMutex);
    for (auto it = fEntries.begin(); it != fEntries.end();)
        it = fSeenThisPass.count(it->first) ? std::next(it) : fEntries.erase(it);
    fSeenThisPass.clear();
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
