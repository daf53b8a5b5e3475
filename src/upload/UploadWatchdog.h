#pragma once

#include <QPointer>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

class QObject;
class QTimer;

// The time-out timer of one upload. It runs on the main thread's event loop
// (the thread of the context object) while the upload blocks a worker, and
// fires once the transfer has moved no byte, in either direction, for the
// given seconds: a long upload that keeps moving is never cut off, while one
// that hangs (before or after its body went out) is. It fires at most once,
// and can be cancelled from the worker when the send returns first. Firing
// and cancelling race safely: whichever comes first wins.
class UploadWatchdog : public std::enable_shared_from_this<UploadWatchdog> {
public:
    using FireHandler = std::function<void(UploadWatchdog&)>;

    // Arms the timer: it fires after the given seconds without progress;
    // onFire runs on the main thread. Without an application object the
    // timer never fires.
    static std::shared_ptr<UploadWatchdog> arm(QObject* context, double seconds, FireHandler onFire);

    // Stops the timer; true when it had not fired.
    bool cancel();
    bool hasFired() const { return fPhase.load() == Phase::Fired; }
    double seconds() const { return fSeconds; }

    // Bytes moved (any thread): the idle time starts again.
    void noteProgress();

    // Asks the transfer this timer guards to stop.
    void abortTransfer() { fAbort.store(true); }
    bool isTransferAborted() const { return fAbort.load(); }

private:
    enum class Phase { Pending, Fired, Cancelled };
    UploadWatchdog(QObject* context, double seconds, FireHandler onFire);
    void start();
    void expired();
    void fire();
    // Milliseconds until the idle time reaches the time-out; 0 when it has.
    int remainingMilliseconds() const;

    QPointer<QObject> fContext;
    const double fSeconds;
    FireHandler fOnFire;
    std::atomic<Phase> fPhase{Phase::Pending};
    std::atomic<bool> fAbort{false};
    std::atomic<int64_t> fLastProgress; // steady clock, nanoseconds
    QPointer<QTimer> fTimer;            // main thread only
};
