#include "filing/PhotoRetryPauses.h"

#include <algorithm>
#include <cmath>
#include <ctime>

namespace {

using SystemClock = std::chrono::system_clock;

const char* waitsName(PhotoRetryPauses::Waits waits)
{
    return waits == PhotoRetryPauses::Waits::ToBeFiled ? "file" : "send";
}

const char* destinationName(PhotoRetryPauses::Destination destination)
{
    return destination == PhotoRetryPauses::Destination::ProblemFolder ? "problem" : "mirror";
}

const std::string* stringIn(const PlistValue& dict, const char* key)
{
    const PlistValue* value = dict.find(key);
    return value ? value->asString() : nullptr;
}

std::optional<double> numberIn(const PlistValue& dict, const char* key)
{
    const PlistValue* value = dict.find(key);
    if (!value)
        return std::nullopt;
    if (const double* real = value->asReal())
        return *real;
    if (const int64_t* integer = value->asInteger())
        return static_cast<double>(*integer);
    return std::nullopt;
}

} // namespace

PhotoRetryPauses::PhotoRetryPauses(std::function<Clock::time_point()> now) : fNow(std::move(now)) { }

void PhotoRetryPauses::setClock(std::function<Clock::time_point()> now)
{
    std::lock_guard lock(fMutex);
    fNow = std::move(now);
}

PhotoRetryPauses::Answer PhotoRetryPauses::mayBeSentNow(const std::string& photoPath) const
{
    std::lock_guard lock(fMutex);
    Answer answer;
    const auto it = fEntries.find(photoPath);
    if (it == fEntries.end())
        return answer;
    const Entry& entry = it->second;
    const std::string at = clockText(wallClock(entry.due));
    if (entry.waits == Waits::ToBeFiled) {
        // The service has it already: sending it again would only make a copy there.
        answer.maySend = false;
        answer.reason = "uploaded, but it could not be filed; next try to file it at " + at;
        return answer;
    }
    const Clock::time_point now = fNow();
    if (now >= entry.due)
        return answer;
    answer.maySend = false;
    answer.wait = entry.due - now;
    answer.reason = entry.cutOff ? "cut off by the watchdog again; next attempt at " + at
                                 : "not taken by the web service; sent again at " + at;
    return answer;
}

PhotoRetryPauses::Clock::duration PhotoRetryPauses::grow(Entry& entry, bool restart)
{
    entry.pause = restart ? Clock::duration(kFirstPause)
                          : std::min<Clock::duration>(entry.pause * 2, Clock::duration(kLongestPause));
    entry.due = fNow() + entry.pause;
    return entry.pause;
}

PhotoRetryPauses::Clock::duration PhotoRetryPauses::sendFailed(const std::string& photoPath)
{
    Clock::duration pause;
    {
        std::lock_guard lock(fMutex);
        auto [it, inserted] = fEntries.try_emplace(photoPath);
        Entry& entry = it->second;
        const bool restart = inserted || entry.waits != Waits::ToBeSent || entry.cutOff;
        entry.waits = Waits::ToBeSent;
        entry.filing = {};
        entry.cutOff = false;
        pause = grow(entry, restart);
    }
    changed();
    return pause;
}

PhotoRetryPauses::Clock::duration PhotoRetryPauses::filingFailed(const std::string& photoPath, const Filing& filing)
{
    Clock::duration pause;
    {
        std::lock_guard lock(fMutex);
        auto [it, inserted] = fEntries.try_emplace(photoPath);
        Entry& entry = it->second;
        const bool restart = inserted || entry.waits != Waits::ToBeFiled || !(entry.filing == filing);
        entry.waits = Waits::ToBeFiled;
        entry.filing = filing;
        entry.cutOff = false;
        // The service took it: no upload of it is cut off any more.
        fCutOffs.erase(photoPath);
        pause = grow(entry, restart);
    }
    changed();
    return pause;
}

void PhotoRetryPauses::forget(const std::string& photoPath)
{
    bool erased = false;
    {
        std::lock_guard lock(fMutex);
        erased = fEntries.erase(photoPath) > 0;
        erased = fCutOffs.erase(photoPath) > 0 || erased;
    }
    if (erased)
        changed();
}

PhotoRetryPauses::CutOff PhotoRetryPauses::cutOffByWatchdog(const std::string& photoPath)
{
    CutOff cutOff;
    {
        std::lock_guard lock(fMutex);
        int& inARow = fCutOffs[photoPath];
        inARow = std::max(inARow, 0) + 1;
        cutOff.inARow = inARow;
        if (inARow >= 2) {
            auto [it, inserted] = fEntries.try_emplace(photoPath);
            Entry& entry = it->second;
            const bool restart = inserted || entry.waits != Waits::ToBeSent || !entry.cutOff;
            entry.waits = Waits::ToBeSent;
            entry.filing = {};
            entry.cutOff = true;
            cutOff.pause = grow(entry, restart);
        }
    }
    changed();
    return cutOff;
}

void PhotoRetryPauses::answered(const std::string& photoPath)
{
    bool erased = false;
    {
        std::lock_guard lock(fMutex);
        erased = fCutOffs.erase(photoPath) > 0;
        if (const auto it = fEntries.find(photoPath); it != fEntries.end() && it->second.cutOff) {
            fEntries.erase(it);
            erased = true;
        }
    }
    if (erased)
        changed();
}

void PhotoRetryPauses::restartWatchdogPauses()
{
    bool any = false;
    {
        std::lock_guard lock(fMutex);
        const Clock::time_point now = fNow();
        for (auto& [path, entry] : fEntries)
            if (entry.cutOff && entry.waits == Waits::ToBeSent) {
                entry.due = now + entry.pause;
                any = true;
            }
    }
    if (any)
        changed();
}

int PhotoRetryPauses::cutOffsInARow(const std::string& photoPath) const
{
    std::lock_guard lock(fMutex);
    const auto it = fCutOffs.find(photoPath);
    return it == fCutOffs.end() ? 0 : it->second;
}

void PhotoRetryPauses::setChangeListener(std::function<void()> listener)
{
    std::lock_guard lock(fMutex);
    fChangeListener = std::move(listener);
}

void PhotoRetryPauses::changed() const
{
    std::function<void()> listener;
    {
        std::lock_guard lock(fMutex);
        listener = fChangeListener;
    }
    if (listener)
        listener();
}

std::vector<PhotoRetryPauses::PendingFiling> PhotoRetryPauses::filingsDue() const
{
    std::lock_guard lock(fMutex);
    std::vector<PendingFiling> due;
    const Clock::time_point now = fNow();
    for (const auto& [path, entry] : fEntries)
        if (entry.waits == Waits::ToBeFiled && entry.due <= now)
            due.push_back({path, entry.filing});
    return due;
}

std::optional<PhotoRetryPauses::Clock::duration> PhotoRetryPauses::nextFilingIn() const
{
    std::lock_guard lock(fMutex);
    std::optional<Clock::time_point> first;
    for (const auto& [path, entry] : fEntries)
        if (entry.waits == Waits::ToBeFiled && (!first || entry.due < *first))
            first = entry.due;
    if (!first)
        return std::nullopt;
    return std::max(*first - fNow(), Clock::duration::zero());
}

std::optional<PhotoRetryPauses::NextAttempt> PhotoRetryPauses::nextAttempt() const
{
    std::lock_guard lock(fMutex);
    const std::map<std::string, Entry>::value_type* first = nullptr;
    for (const auto& item : fEntries)
        if (!first || item.second.due < first->second.due)
            first = &item;
    if (!first)
        return std::nullopt;
    return NextAttempt{first->first, first->second.waits, wallClock(first->second.due)};
}

std::string PhotoRetryPauses::clockText(std::chrono::system_clock::time_point when)
{
    const std::time_t t = SystemClock::to_time_t(std::chrono::ceil<std::chrono::seconds>(when));
    std::tm local{};
    localtime_r(&t, &local);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
}

std::size_t PhotoRetryPauses::size() const
{
    std::lock_guard lock(fMutex);
    return fEntries.size();
}

SystemClock::time_point PhotoRetryPauses::wallClock(Clock::time_point when) const
{
    return SystemClock::now() + std::chrono::duration_cast<SystemClock::duration>(when - fNow());
}

PlistValue PhotoRetryPauses::toPlist() const
{
    std::lock_guard lock(fMutex);
    PlistValue::Array list;
    for (const auto& [path, inARow] : fCutOffs)
        if (!fEntries.count(path))
            list.push_back(PlistValue::dictionary(
                {{"path", PlistValue::string(path)}, {"watchdogCutOffs", PlistValue::integer(inARow)}}));
    for (const auto& [path, entry] : fEntries) {
        const double next = std::chrono::duration<double>(wallClock(entry.due).time_since_epoch()).count();
        PlistValue::Dictionary dict{
            {"path", PlistValue::string(path)},
            {"waits", PlistValue::string(waitsName(entry.waits))},
            {"pauseSeconds", PlistValue::real(std::chrono::duration<double>(entry.pause).count())},
            {"nextAttempt", PlistValue::date({next})},
        };
        if (entry.cutOff)
            dict["cause"] = PlistValue::string("watchdog");
        if (const auto cut = fCutOffs.find(path); cut != fCutOffs.end())
            dict["watchdogCutOffs"] = PlistValue::integer(cut->second);
        if (entry.waits == Waits::ToBeFiled) {
            dict["localRootFolder"] = PlistValue::string(entry.filing.localRootFolder);
            dict["localItem"] = PlistValue::string(entry.filing.localItem);
            dict["destination"] = PlistValue::string(destinationName(entry.filing.destination));
            dict["identity"] = PlistValue::string(entry.filing.identity);
        }
        list.push_back(PlistValue::dictionary(std::move(dict)));
    }
    return PlistValue::array(std::move(list));
}

void PhotoRetryPauses::restore(const PlistValue& list)
{
    std::lock_guard lock(fMutex);
    fEntries.clear();
    fCutOffs.clear();
    const PlistValue::Array* items = list.asArray();
    if (!items)
        return;
    const Clock::time_point now = fNow();
    const double wallNow = std::chrono::duration<double>(SystemClock::now().time_since_epoch()).count();
    for (const PlistValue& item : *items) {
        const std::string* path = stringIn(item, "path");
        if (!path || path->empty())
            continue;
        if (const auto inARow = numberIn(item, "watchdogCutOffs"); inARow && *inARow >= 1 && *inARow <= 1e6)
            fCutOffs[*path] = static_cast<int>(*inARow);
        const std::string* waits = stringIn(item, "waits");
        const PlistValue* nextValue = item.find("nextAttempt");
        const auto pause = numberIn(item, "pauseSeconds");
        if (!path || path->empty() || !waits || !nextValue || !nextValue->asDate() || !pause || !(*pause >= 0) ||
            !std::isfinite(nextValue->asDate()->secondsSince1970))
            continue;
        Entry entry;
        if (const std::string* cause = stringIn(item, "cause"))
            entry.cutOff = *cause == "watchdog";
        if (*waits == "file") {
            const std::string* root = stringIn(item, "localRootFolder");
            const std::string* relative = stringIn(item, "localItem");
            const std::string* destination = stringIn(item, "destination");
            if (!root || !relative || !destination || (*destination != "mirror" && *destination != "problem"))
                continue;
            entry.waits = Waits::ToBeFiled;
            const std::string* identity = stringIn(item, "identity");
            entry.filing = {*root, *relative,
                            *destination == "problem" ? Destination::ProblemFolder : Destination::MirrorSiteFolder,
                            identity ? *identity : std::string()};
            entry.cutOff = false;
        } else if (*waits != "send") {
            continue;
        }
        const double longest = std::chrono::duration<double>(kLongestPause).count();
        entry.pause =
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(std::min(*pause, longest)));
        // A clock set back or forth meanwhile never makes a photo wait longer than the longest pause.
        const double remaining = std::clamp(nextValue->asDate()->secondsSince1970 - wallNow, 0.0, longest);
        entry.due = now + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(remaining));
        fEntries[*path] = std::move(entry);
    }
}

std::vector<std::string> PhotoRetryPauses::photos() const
{
    std::lock_guard lock(fMutex);
    std::vector<std::string> paths;
    for (const auto& [path, entry] : fEntries)
        paths.push_back(path);
    for (const auto& [path, inARow] : fCutOffs)
        if (!fEntries.count(path))
            paths.push_back(path);
    return paths;
}
