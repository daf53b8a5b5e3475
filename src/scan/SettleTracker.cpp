#include "scan/SettleTracker.h"

#include <iterator>
#include <utility>

SettleTracker::Identity SettleTracker::Identity::of(const struct stat& status)
{
    Identity identity;
    identity.device = static_cast<uint64_t>(status.st_dev);
    identity.inode = static_cast<uint64_t>(status.st_ino);
    identity.size = static_cast<uint64_t>(status.st_size);
    identity.modifiedNs = static_cast<int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
    identity.changedNs = static_cast<int64_t>(status.st_ctim.tv_sec) * 1000000000 + status.st_ctim.tv_nsec;
    return identity;
}

std::optional<SettleTracker::Identity> SettleTracker::Identity::ofPath(const std::string& path)
{
    struct stat status { };
    if (::lstat(path.c_str(), &status) != 0)
        return std::nullopt;
    return of(status);
}

bool SettleTracker::Identity::operator==(const Identity& other) const
{
    return device == other.device && inode == other.inode && size == other.size && modifiedNs == other.modifiedNs &&
        changedNs == other.changedNs;
}

SettleTracker::SettleTracker(std::function<Clock::time_point()> now) : fNow(std::move(now)) { }

SettleTracker::Clock::time_point SettleTracker::now() const
{
    std::lock_guard lock(fMutex);
    return fNow();
}

void SettleTracker::setClock(std::function<Clock::time_point()> now)
{
    std::lock_guard lock(fMutex);
    fNow = std::move(now);
}

SettleTracker::Clock::duration SettleTracker::unchangedFor(const std::string& path, const Identity& identity)
{
    std::lock_guard lock(fMutex);
    const Clock::time_point now = fNow();
    auto [it, inserted] = fFiles.try_emplace(path, Sighting{identity, now, fPass});
    if (!inserted && it->second.identity != identity)
        it->second = Sighting{identity, now, fPass};
    it->second.pass = fPass;
    return now - it->second.since;
}

void SettleTracker::beginPass()
{
    std::lock_guard lock(fMutex);
    ++fPass;
}

void SettleTracker::endCompletePass()
{
    std::lock_guard lock(fMutex);
    for (auto it = fFiles.begin(); it != fFiles.end();)
        it = it->second.pass == fPass ? std::next(it) : fFiles.erase(it);
    ++fPass;
}

std::size_t SettleTracker::size() const
{
    std::lock_guard lock(fMutex);
    return fFiles.size();
}
