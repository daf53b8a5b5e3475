#include "scan/NotReadyReport.h"

void NotReadyReport::beginPass()
{
    std::lock_guard lock(fMutex);
    fSeenThisPass.clear();
}

bool NotReadyReport::note(const std::string& path, const std::string& reason)
{
    std::lock_guard lock(fMutex);
    fSeenThisPass.insert(path);
    auto [it, inserted] = fReasons.try_emplace(path, reason);
    if (inserted)
        return true;
    if (it->second == reason)
        return false;
    it->second = reason;
    return true;
}

void NotReadyReport::forget(const std::string& path)
{
    std::lock_guard lock(fMutex);
    fReasons.erase(path);
    fSeenThisPass.erase(path);
}

void NotReadyReport::endCompletePass()
{
    std::lock_guard lock(fMutex);
    for (auto it = fReasons.begin(); it != fReasons.end();) {
        if (fSeenThisPass.count(it->first))
            ++it;
        else
            it = fReasons.erase(it);
    }
    fSeenThisPass.clear();
}

std::vector<NotReadyReport::Entry> NotReadyReport::entries(std::size_t limit) const
{
    std::lock_guard lock(fMutex);
    std::vector<Entry> out;
    for (const auto& [path, reason] : fReasons) {
        if (out.size() >= limit)
            break;
        out.push_back({path, reason});
    }
    return out;
}

std::size_t NotReadyReport::count() const
{
    std::lock_guard lock(fMutex);
    return fReasons.size();
}
