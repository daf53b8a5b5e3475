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

// Whole milliseconds from now until the moment, rounded up: the timer never rings before it.
int millisecondsUntil(int64_t moment, int64_t now)
{
    const double remaining = std::ceil(static_cast<double>(moment - now) / 1e6);
    return remaining <= 0 ? 0 : static_cast<int>(std::min<double>(remaining, INT_MAX));
}

} // namespace

UploadWatchdog::UploadWatchdog(double seconds, FireHandler onFire)
    : fSeconds(seconds), fOnFire(std::move(onFire)), fLastProgress(steadyNow())
{
}

void UploadWatchdog::noteProgress() { fLastProgress.store(steadyNow(), std::memory_order_relaxed); }

int64_t UploadWatchdog::dueAt() const
{
    const double timeOut = std::min(std::max(0.0, fSeconds) * 1e9, 1e17);
    return fLastProgress.load(std::memory_order_relaxed) + static_cast<int64_t>(timeOut);
}

void UploadWatchdog::fire()
{
    Phase expected = Phase::Pending;
    if (fPhase.compare_exchange_strong(expected, Phase::Fired) && fOnFire)
        fOnFire(*this);
}

bool UploadWatchdog::cancel()
{
    // The timer drops a cancelled upload the next time it rings or an upload is armed.
    Phase expected = Phase::Pending;
    if (!fPhase.compare_exchange_strong(expected, Phase::Cancelled))
        return expected == Phase::Cancelled;
    return true;
}

UploadWatchdogTimer::UploadWatchdogTimer(QObject* context) : fShared(std::make_shared<Shared>())
{
    fShared->context = context;
}

UploadWatchdogTimer::~UploadWatchdogTimer()
{
    // Elsewhere the timer goes with its context object.
    if (MainThread::isMainThread() && fShared->timer)
        delete fShared->timer.data();
}

std::shared_ptr<UploadWatchdog> UploadWatchdogTimer::arm(double seconds, UploadWatchdog::FireHandler onFire)
{
    std::shared_ptr<UploadWatchdog> watchdog(new UploadWatchdog(seconds, std::move(onFire)));
    const int64_t due = watchdog->dueAt();
    bool earlier = false;
    {
        std::lock_guard lock(fShared->mutex);
        auto& armed = fShared->armed;
        armed.erase(std::remove_if(armed.begin(), armed.end(), [](const auto& w) { return !w->isPending(); }),
                    armed.end());
        armed.push_back(watchdog);
        if (fShared->dueAt == 0 || due < fShared->dueAt) {
            fShared->dueAt = due;
            earlier = true;
        }
    }
    // The timer already rings before this upload could be due: it looks again then.
    if (earlier)
        MainThread::perform(fShared->context.data(), [shared = fShared] { shared->set(); });
    return watchdog;
}

void UploadWatchdogTimer::Shared::set()
{
    std::lock_guard lock(mutex);
    if (!context)
        return;
    if (dueAt == 0) {
        if (timer)
            timer->stop();
        return;
    }
    if (!timer) {
        timer = new QTimer(context);
        timer->setSingleShot(true);
        timer->setTimerType(Qt::CoarseTimer);
        std::weak_ptr<Shared> self = weak_from_this();
        QObject::connect(timer, &QTimer::timeout, context, [self] {
            if (auto shared = self.lock())
                shared->expired();
        });
    }
    timer->start(millisecondsUntil(dueAt, steadyNow()));
    ++settings;
}

void UploadWatchdogTimer::Shared::expired()
{
    std::vector<std::shared_ptr<UploadWatchdog>> idle;
    {
        std::lock_guard lock(mutex);
        const int64_t now = steadyNow();
        int64_t next = 0;
        std::vector<std::shared_ptr<UploadWatchdog>> waiting;
        for (auto& w : armed) {
            if (!w->isPending())
                continue;
            // Bytes moved since the timer was set: that upload waits for the rest of its idle time.
            if (const int64_t due = w->dueAt(); due > now) {
                next = next == 0 ? due : std::min(next, due);
                waiting.push_back(std::move(w));
            } else {
                idle.push_back(std::move(w));
            }
        }
        armed = std::move(waiting);
        dueAt = next;
        if (timer && next != 0) {
            timer->start(millisecondsUntil(next, now));
            ++settings;
        }
    }
    for (const auto& w : idle)
        w->fire();
}
