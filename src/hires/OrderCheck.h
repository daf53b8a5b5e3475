#pragma once

#include "platform/PlistValue.h"

#include <QObject>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class MaintenanceProgress;

// The order check's state for the operator's status; any thread may ask.
struct OrderCheckStatus {
    bool running = false;
    std::optional<std::chrono::system_clock::time_point> lastCheckEnded;
    std::string lastOutcome; // empty before the first check ends
    std::optional<std::chrono::system_clock::time_point> nextCheck;
};

// The hi-res order checks: one shortly after launch, then one a set number of
// minutes after each check has ended, while prefDoCheckOrders is on. Each
// check runs on a detached worker thread of its own, beside the photo
// uploads, and shows its progress in a maintenance window. The object lives
// on the main thread; its timer and re-arming run there.
class OrderCheck : public QObject {
public:
    // Starts fn on a detached thread of its own; the application passes its
    // counted thread start.
    using ThreadStarter = std::function<void(const char* name, std::function<void()> fn)>;

    explicit OrderCheck(MaintenanceProgress& progress, ThreadStarter startThread = {});
    // Stops the chain: no timer fires any more and a running check's transfer ends within a second.
    ~OrderCheck() override;

    // Start-up: the first check, on its own thread.
    void start();
    // Ends the chain (application shutdown); safe to call twice.
    void stop();

    // Body of the worker thread: one check, then the next one is scheduled.
    void doQueryAndUploadHiResProcess();
    // Arms the timer for the next check (main thread).
    void setupQueryAndUploadHiResProcess();
    // The timer's callback (main thread): starts a new worker and returns.
    void doQueryAndUploadHiResInThread();

    OrderCheckStatus status() const;
    bool isTimerArmed() const { return fTimer.isActive(); }
    // The armed timer's interval in milliseconds, -1 when none is armed.
    int timerInterval() const { return fTimer.isActive() ? fTimer.interval() : -1; }

    // Seconds until the next check for a stored prefMinutesForCheckOrders:
    // 3600 when none is stored, 10 when it is not a positive number of minutes.
    static double intervalSecondsFor(const std::optional<PlistValue>& minutes);

private:
    struct Shared;
    static void runWorker(const std::shared_ptr<Shared>& shared);
    void startWorker();

    std::shared_ptr<Shared> fShared;
    ThreadStarter fStartThread;
    QTimer fTimer;
};
