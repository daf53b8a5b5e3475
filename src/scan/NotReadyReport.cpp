#include "scan/NotReadyReport.h"

#include <algorithm>
#include <iterator>

void NotReadyReport::beginPass()
{
    std::lock_guard lock(fMutex);
    ++fPass;
}

bool NotReadyReport::note(const std::string& path, const std::string& reason)
{
    std::lock_guard lock(fMutex);
    const auto it = fReasons.find(path);
    if (it == fReasons.end()) {
        fReasons.emplace(path, Noted{reason, fPass});
        return true;
    }
    it->second.pass = fPass;
    if (it->second.reason == reason)
        return false;
    it->second.reason = reason;
    return true;
}

void NotReadyReport::forget(const std::string& path)
{
    std::lock_guard lock(fMutex);
    fReasons.erase(path);
}

void NotReadyReport::endCompletePass()
{
    std::lock_guard lock(fMutex);
    for (auto it = fReasons.begin(); it != fReasons.end();)
        it = it->second.pass == fPass ? std::next(it) : fReasons.erase(it);
    ++fPass;
}

std::vector<NotReadyReport::Entry> NotReadyReport::entries(std::size_t limit) const
{
    std::lock_guard lock(fMutex);
    std::vector<Entry> out;
    for (const auto& [path, noted] : fReasons) {
        if (out.size() >= limit)
            break;
        out.push_back({path, noted.reason});
    }
    return out;
}

std::size_t NotReadyReport::count() const
{
    std::lock_guard lock(fMutex);
    return fReasons.size();
}

std::string NotReadyReport::summary() const
{
    std::map<std::string, std::size_t> byReason;
    std::size_t total = 0;
    {
        std::lock_guard lock(fMutex);
        for (const auto& [path, noted] : fReasons)
            ++byReason[noted.reason];
        total = fReasons.size();
    }
    if (total == 0)
        return {};
    std::vector<std::pair<std::string, std::size_t>> reasons(byReason.begin(), byReason.end());
    std::stable_sort(reasons.begin(), reasons.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    std::string text = total == 1 ? "1 photo waits in the source folder: "
                                  : std::to_string(total) + " photos wait in the source folder: ";
    for (size_t i = 0; i < reasons.size(); ++i) {
        if (i > 0)
            text += ", ";
        if (total > 1)
            text += std::to_string(reasons[i].second) + " ";
        text += reasons[i].first;
    }
    return text;
}
