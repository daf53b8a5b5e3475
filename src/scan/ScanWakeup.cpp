#include "scan/ScanWakeup.h"

#include "platform/ConsoleLog.h"
#include "platform/MainThread.h"

#include <QCoreApplication>
#include <QObject>
#include <QTimer>
#include <algorithm>

ScanWakeup::ScanWakeup(std::function<void()> requestScan, std::string logLine)
    : fRequestScan(std::move(requestScan)), fLogLine(std::move(logLine)), fContext(std::make_unique<QObject>())
{
    if (auto* app = QCoreApplication::instance())
        fContext->moveToThread(app->thread());
    fTimer = new QTimer(fContext.get());
    fTimer->setSingleShot(true);
    // The moment matters to the millisecond: a coarse timer may fire early.
    fTimer->setTimerType(Qt::PreciseTimer);
    QObject::connect(fTimer, &QTimer::timeout, fContext.get(), [this] { fire(); });
}

ScanWakeup::~ScanWakeup() = default; // the context takes its timer and any queued arming with it

void ScanWakeup::wakeAfter(Clock::duration delay)
{
    const Clock::time_point when = Clock::now() + std::max(delay, Clock::duration::zero());
    {
        std::lock_guard lock(fMutex);
        if (fNext && *fNext <= when)
            return;
        fNext = when;
    }
    MainThread::perform(fContext.get(), [this] { arm(); });
}

std::optional<ScanWakeup::Clock::time_point> ScanWakeup::nextWake() const
{
    std::lock_guard lock(fMutex);
    return fNext;
}

void ScanWakeup::arm()
{
    std::optional<Clock::time_point> next;
    {
        std::lock_guard lock(fMutex);
        next = fNext;
    }
    if (!next)
        return;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now());
    fTimer->start(static_cast<int>(std::clamp<long long>(wait.count(), 0, 24LL * 3600 * 1000)));
}

void ScanWakeup::fire()
{
    bool early = false;
    {
        std::lock_guard lock(fMutex);
        if (!fNext)
            return;
        // Asked for by the scan that armed it; a timer may still come back a hair early.
        early = *fNext > Clock::now();
        if (!early)
            fNext.reset();
    }
    if (early) {
        arm();
        return;
    }
    ConsoleLog::write(fLogLine);
    fRequestScan();
}
