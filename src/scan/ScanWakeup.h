#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class QObject;
class QTimer;

// Asks for a scan at the moment a photo that waits can become ready (a movie
// that has settled, a photo unchanged long enough), so nothing depends on the
// rescan timer or on the watcher for it. One one-shot timer on the main
// thread, always armed for the earliest moment asked for. Made and destroyed
// on the main thread; wakeAfter may be called from any thread.
class ScanWakeup {
public:
    using Clock = std::chrono::steady_clock;

    // requestScan runs on the main thread when the moment comes, after the
    // log line; it must not block.
    explicit ScanWakeup(std::function<void()> requestScan,
                        std::string logLine = "A photo that waited may be ready now: requesting a scan");
    ~ScanWakeup();
    ScanWakeup(const ScanWakeup&) = delete;
    ScanWakeup& operator=(const ScanWakeup&) = delete;

    // A scan is wanted after delay, unless one is already due sooner.
    void wakeAfter(Clock::duration delay);
    // When the next requested scan is due; nullopt when none is.
    std::optional<Clock::time_point> nextWake() const;

private:
    void arm();
    void fire();

    std::function<void()> fRequestScan;
    std::string fLogLine;
    std::unique_ptr<QObject> fContext;
    QTimer* fTimer = nullptr;
    mutable std::mutex fMutex;
    std::optional<Clock::time_point> fNext;
};
