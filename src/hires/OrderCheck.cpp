#include "hires/OrderCheck.h"

#include "app/MaintenanceProgress.h"
#include "hires/HttpHiResController.h"
#include "platform/ConsoleLog.h"
#include "platform/MainThread.h"
#include "platform/UserDefaults.h"
#include "prefs/Preferences.h"

#include <QPointer>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace {
constexpr const char* kClass = "OrderCheck";
// The longest interval the timer can hold (about 24 days).
constexpr double kLongestIntervalSeconds = 2147483.0;
} // namespace

// What a worker may outlive its object with: the flags, the status and the way back.
struct OrderCheck::Shared {
    MaintenanceProgress& progress;
    QPointer<OrderCheck> owner; // read on the main thread only
    std::atomic<bool> gRunningQueryAndUploadHiResThread{false};
    std::atomic<bool> stopping{false};
    mutable std::mutex mutex;
    std::condition_variable wake;
    OrderCheckStatus status;

    explicit Shared(MaintenanceProgress& p) : progress(p) { }

    // Waits for the time given or until the chain stops; false when it stopped.
    bool pause(std::chrono::milliseconds length)
    {
        std::unique_lock lock(mutex);
        return !wake.wait_for(lock, length, [this] { return stopping.load(); });
    }
};

OrderCheck::OrderCheck(MaintenanceProgress& progress, ThreadStarter startThread)
    : fShared(std::make_shared<Shared>(progress)), fStartThread(std::move(startThread))
{
    fShared->owner = this;
    fTimer.setSingleShot(true);
    connect(&fTimer, &QTimer::timeout, this, [this] { doQueryAndUploadHiResInThread(); });
    if (!fStartThread) {
        fStartThread = [](const char* name, std::function<void()> fn) {
            try {
                std::thread(std::move(fn)).detach();
            } catch (const std::system_error& e) {
                ConsoleLog::writef("UNABLE to start the %s thread: %s", name, e.what());
            }
        };
    }
}

OrderCheck::~OrderCheck() { stop(); }

void OrderCheck::start() { startWorker(); }

void OrderCheck::stop()
{
    fShared->stopping = true;
    fShared->wake.notify_all();
    fTimer.stop();
    std::lock_guard lock(fShared->mutex);
    fShared->status.nextCheck.reset();
}

void OrderCheck::startWorker()
{
    if (fShared->stopping)
        return;
    fStartThread("order check", [shared = fShared] { runWorker(shared); });
}

void OrderCheck::doQueryAndUploadHiResProcess() { runWorker(fShared); }

void OrderCheck::runWorker(const std::shared_ptr<Shared>& shared)
{
    const char* op = "doQueryAndUploadHiResProcess:";
    logInside(kClass, op);
    if (!Preferences::getPrefDoCheckOrders()) {
        ConsoleLog::writef("Inside %s => %s... Will NOT NOT NOT Check for Orders", kClass, op);
        return;
    }
    ConsoleLog::writef("Inside %s => %s... WILL Check for Orders", kClass, op);
    if (shared->gRunningQueryAndUploadHiResThread.exchange(true)) {
        ConsoleLog::write("Already running a thread for doQueryAndUploadHiResProcess...");
        return;
    }
    {
        std::lock_guard lock(shared->mutex);
        shared->status.running = true;
        shared->status.nextCheck.reset();
    }

    std::unique_ptr<MaintenanceWindow> window;
    if (!shared->stopping)
        window = shared->progress.openMaintenanceWindow();
    if (window) {
        window->ibSetWindowTitle("Check Orders for Hi Res Photos");
        window->ibUpdateLine1TextField("Checking For Orders Requiring Hi Res Photos...");
        window->ibUpdateLine2TextField("Sending Query...");
        window->ibUpdateProgressBar("YES");
    } else {
        ConsoleLog::write("UNABLE to create _newMaintProgressWindow.....");
    }
    ConsoleLog::writef("Inside %s => %s... Started...", kClass, op);

    std::string outcome;
    if (shared->pause(std::chrono::seconds(1))) {
        OrderQueryInfo info;
        info.edUser = Preferences::getCurUserLoginName();
        info.edPasswd = Preferences::getCurUserLoginPassword();
        if (!info.edUser || !info.edPasswd) {
            outcome = "No login is stored: the order check was skipped";
            ConsoleLog::writef("Inside %s => %s... %s", kClass, op, outcome.c_str());
            if (window)
                window->ibUpdateLine2TextField(outcome);
        } else {
            HttpHiResController controller;
            controller.setProgressDelegate(window.get());
            controller.setShouldAbort([shared] { return shared->stopping.load(); });
            controller.doQueryAndUploadHiResWithInfo(info);
            outcome = controller.outcome().describe();
            // A problem is already on line 2.
            if (window && controller.outcome().problem.empty())
                window->ibUpdateLine2TextField("Done: " + outcome);
        }
    } else {
        outcome = "Stopped: the application is quitting";
    }

    ConsoleLog::writef("Inside %s => %s... Done...", kClass, op);
    if (window) {
        window->ibUpdateProgressBar("NO");
        window->close();
        window.reset();
    }
    {
        std::lock_guard lock(shared->mutex);
        shared->status.running = false;
        shared->status.lastCheckEnded = std::chrono::system_clock::now();
        shared->status.lastOutcome = outcome;
    }
    MainThread::perform([shared] {
        if (shared->owner)
            shared->owner->setupQueryAndUploadHiResProcess();
    });
    shared->gRunningQueryAndUploadHiResThread = false;
}

double OrderCheck::intervalSecondsFor(const std::optional<PlistValue>& minutes)
{
    if (!minutes)
        return 3600.0;
    ConsoleLog::writef("====> getPrefMinutesForCheckOrders returned: [%s]", minutes->describe().c_str());
    const double seconds = static_cast<double>(static_cast<float>(UserDefaults::doubleValue(*minutes))) * 60.0;
    if (!(seconds > 0))
        return 10.0;
    return seconds > kLongestIntervalSeconds ? kLongestIntervalSeconds : seconds;
}

void OrderCheck::setupQueryAndUploadHiResProcess()
{
    if (fShared->stopping || !Preferences::getPrefDoCheckOrders())
        return;
    const double seconds = intervalSecondsFor(Preferences::getPrefMinutesForCheckOrders());
    ConsoleLog::writef("FloatValue for getPrefMinutesForCheckOrders is: [%2.2f]", seconds);
    fTimer.start(static_cast<int>(seconds * 1000.0));
    std::lock_guard lock(fShared->mutex);
    fShared->status.nextCheck =
        std::chrono::system_clock::now() + std::chrono::milliseconds(static_cast<long long>(seconds * 1000.0));
}

void OrderCheck::doQueryAndUploadHiResInThread()
{
    fTimer.stop(); // called early, the pending timer is spent all the same
    {
        std::lock_guard lock(fShared->mutex);
        fShared->status.nextCheck.reset();
    }
    startWorker();
}

OrderCheckStatus OrderCheck::status() const
{
    std::lock_guard lock(fShared->mutex);
    return fShared->status;
}
