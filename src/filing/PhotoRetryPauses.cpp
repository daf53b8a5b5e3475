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
    answer.reason = "not taken by the web service; sent again at " + at;
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
    std::lock_guard lock(fMutex);
    auto [it, inserted] = fEntries.try_emplace(photoPath);
    Entry& entry = it->second;
    const bool restart = inserted || entry.waits != Waits::ToBeSent;
    entry.waits = Waits::ToBeSent;
    entry.filing = {};
    return grow(entry, restart);
}

PhotoRetryPauses::Clock::duration PhotoRetryPauses::filingFailed(const std::string& photoPath, const Filing& filing)
{
    std::lock_guard lock(fMutex);
    auto [it, inserted] = fEntries.try_emplace(photoPath);
    Entry& entry = it->second;
    const bool restart = inserted || entry.waits != Waits::ToBeFiled || !(entry.filing == filing);
    entry.waits = Waits::ToBeFiled;
    entry.filing = filing;
    return grow(entry, restart);
}

void PhotoRetryPauses::forget(const std::string& photoPath)
{
    std::lock_guard lock(fMutex);
    fEntries.erase(photoPath);
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
    for (const auto& [path, entry] : fEntries) {
        const double next = std::chrono::duration<double>(wallClock(entry.due).time_since_epoch()).count();
        PlistValue::Dictionary dict{
            {"path", PlistValue::string(path)},
            {"waits", PlistValue::string(waitsName(entry.waits))},
            {"pauseSeconds", PlistValue::real(std::chrono::duration<double>(entry.pause).count())},
            {"nextAttempt", PlistValue::date({next})},
        };
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
    const PlistValue::Array* items = list.asArray();
    if (!items)
        return;
    const Clock::time_point now = fNow();
    const double wallNow = std::chrono::duration<double>(SystemClock::now().time_since_epoch()).count();
    for (const PlistValue& item : *items) {
        const std::string* path = stringIn(item, "path");
        const std::string* waits = stringIn(item, "waits");
        const PlistValue* nextValue = item.find("nextAttempt");
        const auto pause = numberIn(item, "pauseSeconds");
        if (!path || path->empty() || !waits || !nextValue || !nextValue->asDate() || !pause || !(*pause >= 0) ||
            !std::isfinite(nextValue->asDate()->secondsSince1970))
            continue;
        Entry entry;
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
