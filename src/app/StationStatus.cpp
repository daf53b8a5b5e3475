#include "app/StationStatus.h"

#include "app/ProcessFlags.h"
#include "hires/OrderCheck.h"
#include "scan/NotReadyReport.h"

#include <algorithm>
#include <ctime>
#include <nlohmann/json.hpp>

namespace {

using Json = nlohmann::ordered_json;

Json optionalText(const std::optional<std::string>& text) { return text ? Json(*text) : Json(nullptr); }

Json optionalTime(const std::optional<StationStatus::Clock::time_point>& when)
{
    return when ? Json(StationStatus::timeText(*when)) : Json(nullptr);
}

} // namespace

void StationStatus::setNotReadyReport(const NotReadyReport* report)
{
    std::lock_guard lock(fMutex);
    fNotReady = report;
}

void StationStatus::setNextAttemptSource(TimeSource source)
{
    std::lock_guard lock(fMutex);
    fNextAttemptSource = std::move(source);
}

void StationStatus::setOrderCheckSource(OrderCheckSource source)
{
    std::lock_guard lock(fMutex);
    fOrderCheckSource = std::move(source);
}

void StationStatus::setFiledListener(FiledListener listener)
{
    std::lock_guard lock(fMutex);
    fFiledListener = std::move(listener);
}

void StationStatus::uploadStarted(const std::string& photo)
{
    std::lock_guard lock(fMutex);
    fPhoto = photo;
    fHalted = false;
    fRetryAt.reset();
}

void StationStatus::uploadEnded()
{
    std::lock_guard lock(fMutex);
    fPhoto.reset();
}

void StationStatus::photoFiled(const std::string& photo, const std::string& destination, const std::string& why,
                               bool toMirror)
{
    FiledListener listener;
    {
        std::lock_guard lock(fMutex);
        if (toMirror) {
            ++fUploaded;
            fLastError.reset();
        } else {
            ++fRefused;
        }
        listener = fFiledListener;
    }
    if (listener)
        listener(photo, destination, why, toMirror);
}

void StationStatus::noteError(const std::string& text)
{
    // The first line names the error; further lines say what happens next.
    const std::string firstLine = text.substr(0, text.find('\n'));
    std::lock_guard lock(fMutex);
    fLastError = firstLine;
}

void StationStatus::chainHalted()
{
    std::lock_guard lock(fMutex);
    fHalted = true;
}

void StationStatus::scanRequested()
{
    std::lock_guard lock(fMutex);
    fHalted = false;
}

void StationStatus::retryAt(Clock::time_point when)
{
    std::lock_guard lock(fMutex);
    fRetryAt = when;
}

std::optional<StationStatus::Clock::time_point> StationStatus::nextAttempt() const
{
    TimeSource source;
    std::optional<Clock::time_point> earliest;
    {
        std::lock_guard lock(fMutex);
        source = fNextAttemptSource;
        earliest = fRetryAt;
    }
    const auto now = Clock::now();
    if (earliest && *earliest <= now)
        earliest.reset();
    if (source) {
        if (const auto when = source(); when && *when > now && (!earliest || *when < *earliest))
            earliest = when;
    }
    return earliest;
}

StationStatus::State StationStatus::state() const
{
    bool sending = false;
    bool halted = false;
    {
        std::lock_guard lock(fMutex);
        sending = fPhoto.has_value();
        halted = fHalted;
    }
    if (gDidHaltProcess)
        return State::Paused;
    if (sending)
        return State::Uploading;
    if (halted)
        return State::Halted;
    if (nextAttempt())
        return State::Waiting;
    if (gStartedUploadProcess)
        return State::Uploading; // filing the photo just sent
    if (gIsScanning)
        return State::Scanning;
    return State::Idle;
}

const char* StationStatus::stateName(State state)
{
    switch (state) {
        case State::Idle: return "idle";
        case State::Scanning: return "scanning";
        case State::Uploading: return "uploading";
        case State::Paused: return "paused";
        case State::Waiting: return "waiting";
        case State::Halted: return "halted";
    }
    return "idle";
}

std::optional<std::string> StationStatus::photo() const
{
    std::lock_guard lock(fMutex);
    return fPhoto;
}

int StationStatus::uploadedCount() const
{
    std::lock_guard lock(fMutex);
    return fUploaded;
}

int StationStatus::refusedCount() const
{
    std::lock_guard lock(fMutex);
    return fRefused;
}

std::optional<std::string> StationStatus::lastError() const
{
    std::lock_guard lock(fMutex);
    return fLastError;
}

std::string StationStatus::timeText(Clock::time_point when)
{
    const std::time_t t = Clock::to_time_t(when);
    std::tm local{};
    localtime_r(&t, &local);
    char text[48];
    if (std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local) == 0)
        return {};
    // "+0100" becomes "+01:00", as ISO 8601 writes it in full.
    const std::string out = text;
    if (out.size() < 5)
        return out;
    return out.substr(0, out.size() - 2) + ":" + out.substr(out.size() - 2);
}

std::string StationStatus::toJson() const
{
    const NotReadyReport* notReady = nullptr;
    OrderCheckSource orderSource;
    {
        std::lock_guard lock(fMutex);
        notReady = fNotReady;
        orderSource = fOrderCheckSource;
    }
    Json out;
    out["state"] = stateName(state());
    out["photo"] = optionalText(photo());
    out["uploaded"] = uploadedCount();
    out["refused"] = refusedCount();
    Json list = Json::array();
    std::size_t total = 0;
    if (notReady) {
        for (const auto& entry : notReady->entries(kMaxNotReadyListed))
            list.push_back(Json{{"path", entry.path}, {"reason", entry.reason}});
        total = std::max(notReady->count(), list.size());
    }
    out["notReady"] = std::move(list);
    out["notReadyCount"] = total;
    out["lastError"] = optionalText(lastError());
    out["nextAttempt"] = optionalTime(nextAttempt());
    const std::optional<OrderCheckStatus> orders = orderSource ? orderSource() : std::nullopt;
    if (orders) {
        out["orderCheck"] = Json{
            {"running", orders->running},
            {"lastCheck", optionalTime(orders->lastCheckEnded)},
            {"lastOutcome", orders->lastOutcome.empty() ? Json(nullptr) : Json(orders->lastOutcome)},
            {"nextCheck", optionalTime(orders->nextCheck)},
        };
    } else {
        out["orderCheck"] = nullptr;
    }
    // A path that is not valid UTF-8 must not cost the whole report.
    return out.dump(-1, ' ', false, Json::error_handler_t::replace);
}
