#include "upload/UploadWatchdog.h"

#include "platform/MainThread.h"

#include <QTimer>
#include <algorithm>
#include <climits>
#include <cmath>

UploadWatchdog::UploadWatchdog(QObject* context, double seconds, FireHandler onFire)
    : fContext(context), fSeconds(seconds), fOnFire(std::move(onFire))
{
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
    QObject::connect(timer, &QTimer::timeout, fContext, [self] { self->fire(); });
    fTimer = timer;
    const double milliseconds = std::ceil(std::max(0.0, fSeconds) * 1000.0);
    timer->start(static_cast<int>(std::min<double>(milliseconds, INT_MAX)));
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
