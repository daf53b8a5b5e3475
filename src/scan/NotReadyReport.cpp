#include "scan/NotReadyReport.h"

#include <algorithm>
#include <iterator>

void NotReadyReport::beginPass()
{
    std::lock_guard lock(fMutex);
    ++fPass;
}

bool NotReadyReport::note(const std::string& path, const std::string& reason, const std::shared_ptr<Group>& group)
{
    std::lock_guard lock(fMutex);
    const auto it = fReasons.find(path);
    if (it == fReasons.end()) {
        fReasons.emplace(path, Noted{reason, fPass, group});
        return true;
    }
    it->second.pass = fPass;
    it->second.group = group;
    if (it->second.reason == reason)
        return false;
    it->second.reason = reason;
    return true;
}

bool NotReadyReport::noteAgain(Group& group)
{
    std::lock_guard lock(fMutex);
    if (!group.intact)
        return false;
    group.pass = fPass;
    return true;
}

void NotReadyReport::forget(const std::string& path)
{
    std::lock_guard lock(fMutex);
    const auto it = fReasons.find(path);
    if (it == fReasons.end())
        return;
    // Passed over as a whole, its group would no longer say the same.
    if (it->second.group)
        it->second.group->intact = false;
    fReasons.erase(it);
}

bool NotReadyReport::notedInThisPass(const Noted& noted) const
{
    return noted.pass == fPass || (noted.group && noted.group->intact && noted.group->pass == fPass);
}

void NotReadyReport::endCompletePass()
{
    std::lock_guard lock(fMutex);
    for (auto it = fReasons.begin(); it != fReasons.end();) {
        if (notedInThisPass(it->second)) {
            ++it;
            continue;
        }
        if (it->second.group)
            it->second.group->intact = false;
        it = fReasons.erase(it);
    }
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
