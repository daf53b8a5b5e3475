#include "upload/UploadWatchdog.h"

#include "platform/MainThread.h"

#include <QTimer>
#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>

namespace {

int64_t steadyNow()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

UploadWatchdog::UploadWatchdog(QObject* context, double seconds, FireHandler onFire)
    : fContext(context), fSeconds(seconds), fOnFire(std::move(onFire)), fLastProgress(steadyNow())
{
}

void UploadWatchdog::noteProgress() { fLastProgress.store(steadyNow(), std::memory_order_relaxed); }

int UploadWatchdog::remainingMilliseconds() const
{
    const double idle = static_cast<double>(steadyNow() - fLastProgress.load(std::memory_order_relaxed)) / 1e6;
    const double remaining = std::ceil(std::max(0.0, fSeconds) * 1000.0 - idle);
    return remaining <= 0 ? 0 : static_cast<int>(std::min<double>(remaining, INT_MAX));
}

std::shared_ptr<UploadWatchdog> UploadWatchdog::arm(QObject* context, double seconds, FireHandler onFire)
{
    std::shared_ptr<UploadWatchdog> watchdog(new UploadWatchdog(context, seconds, std::move(onFire)));
    auto self = watchdog;
    MainThread::perform(context, [self] { self->start(); });
    return watchdog;
}

void UploadWatchdog::start()
{
    if (fPhase.load() != Phase::Pending || !fContext)
        return;
    auto* timer = new QTimer(fContext);
    timer->setSingleShot(true);
    timer->setTimerType(Qt::CoarseTimer);
    auto self = shared_from_this();
    QObject::connect(timer, &QTimer::timeout, fContext, [self] { self->expired(); });
    fTimer = timer;
    timer->start(remainingMilliseconds());
}

void UploadWatchdog::expired()
{
    if (fPhase.load() != Phase::Pending)
        return;
    // Bytes moved since the timer was set: wait for the rest of the idle time.
    if (const int remaining = remainingMilliseconds(); remaining > 0 && fTimer) {
        fTimer->start(remaining);
        return;
    }
    fire();
}

void UploadWatchdog::fire()
{
    if (fTimer)
        fTimer->deleteLater(); // also drops the connection that keeps this object alive
    Phase expected = Phase::Pending;
    if (fPhase.compare_exchange_strong(expected, Phase::Fired) && fOnFire)
        fOnFire(*this);
}

bool UploadWatchdog::cancel()
{
    Phase expected = Phase::Pending;
    if (!fPhase.compare_exchange_strong(expected, Phase::Cancelled))
        return expected == Phase::Cancelled;
    auto self = shared_from_this();
    MainThread::perform(fContext.data(), [self] {
        if (self->fTimer) {
            self->fTimer->stop();
            self->fTimer->deleteLater();
        }
    });
    return true;
}
