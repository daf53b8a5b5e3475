#include "upload/UploadProgressMeter.h"

#include <algorithm>

UploadProgressMeter::UploadProgressMeter(int64_t total, Clock::time_point start, std::chrono::milliseconds interval)
    : fTotal(std::max<int64_t>(total, 0)), fInterval(interval), fLastTime(start)
{
}

std::optional<UploadProgressMeter::Report> UploadProgressMeter::update(int64_t sent, Clock::time_point now)
{
    if (fDone || fTotal == 0 || now - fLastTime < fInterval || sent <= fLastSent)
        return std::nullopt;
    sent = std::min(sent, fTotal);
    const double seconds = std::chrono::duration<double>(now - fLastTime).count();
    Report report;
    report.sent = sent;
    report.total = fTotal;
    report.percent = static_cast<int>(sent * 100 / fTotal);
    report.bytesPerSecond = seconds > 0 ? static_cast<double>(sent - fLastSent) / seconds : 0;
    fLastTime = now;
    fLastSent = sent;
    fDone = sent == fTotal;
    return report;
}
