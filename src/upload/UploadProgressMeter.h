#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

// Paces the progress reports of one upload: a report once at least the
// interval has passed since the start or the last report and bytes went out
// since, with the share sent and the speed over that stretch. A photo sent
// in less than the interval gets none; the last report is the one at 100 %.
class UploadProgressMeter {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kInterval{2};

    struct Report {
        int64_t sent = 0;
        int64_t total = 0;
        int percent = 0;           // of the body sent, 0 to 100
        double bytesPerSecond = 0; // since the previous report
    };

    UploadProgressMeter(int64_t total, Clock::time_point start, std::chrono::milliseconds interval = kInterval);

    // The body's bytes sent so far; a report when one is due.
    std::optional<Report> update(int64_t sent, Clock::time_point now);

private:
    int64_t fTotal;
    std::chrono::milliseconds fInterval;
    Clock::time_point fLastTime;
    int64_t fLastSent = 0;
    bool fDone = false;
};
