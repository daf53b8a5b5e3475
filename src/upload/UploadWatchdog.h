#pragma once

#include <QPointer>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class QObject;
class QTimer;

// The time-out of one upload. It fires, on the main thread, once the transfer
// has moved no byte, in either direction, for the given seconds: a long upload
// that keeps moving is never cut off, while one that hangs (before or after
// its body went out) is. It fires at most once, and can be cancelled from the
// worker when the send returns first. Firing and cancelling race safely:
// whichever comes first wins. Armed through an UploadWatchdogTimer.
class UploadWatchdog {
public:
    using FireHandler = std::function<void(UploadWatchdog&)>;

    // Stops the time-out; true when it had not fired.
    bool cancel();
    bool hasFired() const { return fPhase.load() == Phase::Fired; }
    double seconds() const { return fSeconds; }

    // Bytes moved (any thread): the idle time starts again.
    void noteProgress();

    // Asks the transfer this time-out guards to stop.
    void abortTransfer() { fAbort.store(true); }
    bool isTransferAborted() const { return fAbort.load(); }

private:
    friend class UploadWatchdogTimer;
    enum class Phase { Pending, Fired, Cancelled };
    UploadWatchdog(double seconds, FireHandler onFire);
    bool isPending() const { return fPhase.load() == Phase::Pending; }
    // Steady clock, nanoseconds: when the idle time reaches the time-out.
    int64_t dueAt() const;
    void fire();

    const double fSeconds;
    FireHandler fOnFire;
    std::atomic<Phase> fPhase{Phase::Pending};
    std::atomic<bool> fAbort{false};
    std::atomic<int64_t> fLastProgress; // steady clock, nanoseconds
};

// One main-thread timer for every upload of an uploader. Arming an upload
// hands the main thread work only when its time-out falls before the one the
// timer is already set for; cancelling never does. When the timer rings it
// fires the uploads that have been idle for their time-out and is set again
// for the earliest of the others; with none left it stops. Arm and cancel
// from any thread; the timer lives on the thread of the context object.
// Without an application object it never fires.
class UploadWatchdogTimer {
public:
    explicit UploadWatchdogTimer(QObject* context);
    ~UploadWatchdogTimer();
    UploadWatchdogTimer(const UploadWatchdogTimer&) = delete;
    UploadWatchdogTimer& operator=(const UploadWatchdogTimer&) = delete;

    // Starts the time-out of one upload: it fires after the given seconds
    // without progress; onFire runs on the main thread.
    std::shared_ptr<UploadWatchdog> arm(double seconds, UploadWatchdog::FireHandler onFire);

    // Times the timer has been set on the main thread (for the benchmarks' counts).
    uint64_t settings() const { return fShared->settings.load(); }

private:
    struct Shared : std::enable_shared_from_this<Shared> {
        QPointer<QObject> context;
        std::mutex mutex;
        std::vector<std::shared_ptr<UploadWatchdog>> armed; // pending, or done and not yet dropped
        int64_t dueAt = 0;                                  // what the timer is set for; 0 when it is not
        QPointer<QTimer> timer;                             // main thread only
        std::atomic<uint64_t> settings{0};

        void set();     // main thread
        void expired(); // main thread
    };
    std::shared_ptr<Shared> fShared;
};
