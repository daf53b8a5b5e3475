#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

class NotReadyReport;
struct OrderCheckStatus;

// What the station is doing, for scripts and supervisors (`quon-ctl status`):
// its state, the photo being sent, how many photos were filed where since
// start, the photos left in the source folder and why, the last error the
// operator was shown and when the next attempt is due. The upload chain tells
// it what happens; the rest it reads from the process flags and from the
// sources handed in at start-up. Any thread may call.
class StationStatus {
public:
    using Clock = std::chrono::system_clock;
    using TimeSource = std::function<std::optional<Clock::time_point>()>;
    using OrderCheckSource = std::function<std::optional<OrderCheckStatus>()>;
    // Called for each photo filed: the photo, where it went, why.
    using FiledListener = std::function<void(const std::string& photo, const std::string& destination,
                                             const std::string& why, bool toMirror)>;

    // Longest list of photos left in the source folder that a report carries.
    static constexpr std::size_t kMaxNotReadyListed = 100;

    StationStatus() = default;
    StationStatus(const StationStatus&) = delete;
    StationStatus& operator=(const StationStatus&) = delete;

    // --- sources, set before the chain starts ---
    void setNotReadyReport(const NotReadyReport* report);
    // When the next attempt to reach the service is due (the transport
    // back-off and the photos that wait before being tried again); nothing or
    // a past time when none is pending.
    void setNextAttemptSource(TimeSource source);
    // The order check's state; nothing when order checks are off.
    void setOrderCheckSource(OrderCheckSource source);
    void setFiledListener(FiledListener listener);

    // --- what the chain tells it ---
    // A photo's request is being sent, until uploadEnded.
    void uploadStarted(const std::string& photo);
    void uploadEnded();
    // The photo was filed into the mirror folder (uploaded) or into the
    // Problem Folder (refused), with the reason for the operator.
    void photoFiled(const std::string& photo, const std::string& destination, const std::string& why, bool toMirror);
    // An error the operator was shown; the next upload that succeeds clears it.
    void noteError(const std::string& text);
    // An ERROR reply stopped the chain; the next scan request takes it up again.
    void chainHalted();
    void scanRequested();
    // The chain waits before it tries again.
    void retryAt(Clock::time_point when);

    enum class State { Idle, Scanning, Uploading, Paused, Waiting, Halted };
    State state() const;
    static const char* stateName(State state);
    std::optional<std::string> photo() const;
    int uploadedCount() const;
    int refusedCount() const;
    std::optional<std::string> lastError() const;
    // The earliest attempt still to come, if any.
    std::optional<Clock::time_point> nextAttempt() const;

    // The whole report as one line of JSON (no line break).
    std::string toJson() const;
    // A time as the report writes it: local time with its offset, "2026-12-06T15:40:01+01:00".
    static std::string timeText(Clock::time_point when);

private:
    mutable std::mutex fMutex;
    const NotReadyReport* fNotReady = nullptr;
    TimeSource fNextAttemptSource;
    OrderCheckSource fOrderCheckSource;
    FiledListener fFiledListener;
    std::optional<std::string> fPhoto;
    int fUploaded = 0;
    int fRefused = 0;
    std::optional<std::string> fLastError;
    bool fHalted = false;
    std::optional<Clock::time_point> fRetryAt;
};
