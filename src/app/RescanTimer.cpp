#include "app/RescanTimer.h"

#include "app/MainThreadPresenter.h"
#include "app/ProcessFlags.h"
#include "platform/ConsoleLog.h"
#include "platform/MainThread.h"
#include "platform/UserDefaults.h"
#include "prefs/Preferences.h"

#include <QCoreApplication>
#include <QObject>
#include <QTimer>
#include <algorithm>
#include <ctime>

namespace {
// The log names the controller, whose operations these are.
constexpr const char* kClass = "AppController";
} // namespace

RescanTimer::RescanTimer(MainThreadPresenter& presenter, std::function<void()> synchronizeAgain)
    : fPresenter(presenter), fSynchronizeAgain(std::move(synchronizeAgain)), fContext(std::make_unique<QObject>())
{
    if (auto* app = QCoreApplication::instance())
        fContext->moveToThread(app->thread());
}

RescanTimer::~RescanTimer() { cancelRetriggerTimer(); }

void RescanTimer::doSetupRetriggerTimerOnMainThread()
{
    logInside(kClass, "doSetupRetriggerTimerOnMainThread");
    fArmings.fetch_add(1);
    MainThread::perform(fContext.get(), [this] {
        doSetupRetriggerTimer();
        fArmings.fetch_sub(1);
    });
}

void RescanTimer::doSetupRetriggerTimer()
{
    fArmings.fetch_add(1);
    struct Done {
        std::atomic<int>& armings;
        ~Done() { armings.fetch_sub(1); } // after fActive is set
    } done{fArmings};
    if (!Preferences::getDoAutoSynchronize()) {
        ConsoleLog::writef("Done %s => %s... [self getDoAutoSynchronize] = NO...", kClass, "doSetupRetriggerTimer:");
        return;
    }
    cancelRetriggerTimer();
    double seconds = 120;
    if (auto value = Preferences::getPrefSecondsBetweenScans())
        seconds = UserDefaults::doubleValue(*value);
    else
        ConsoleLog::write("Failed to get NSNumber for intervalInSecs");
    // An interval of zero or less would rescan an empty folder without pause;
    // one over a week would overflow the timer.
    const double clamped = std::clamp(seconds, 1.0, 604800.0);
    fTimer = new QTimer(fContext.get());
    fTimer->setSingleShot(true);
    QObject::connect(fTimer, &QTimer::timeout, fContext.get(), [this] { doAutoResynchronize(); });
    fTimer->start(static_cast<int>(clamped * 1000));
    fActive = true;

    std::string text = "Next Auto-Synchronize Trigger Date = " + formatTriggerDate(clamped) + "...";
    if (!fRunningLeopard)
        text += "\n(This would Not be needed with a Linux kernel that reports folder events, 2.6.13 or later)";
    ConsoleLog::writef("Setting up Timer => %s", text.c_str());
    fPresenter.ibUpdateFTPCallbackStatusTextField(text);
    ConsoleLog::writef("Done with %s => %s...", kClass, "doSetupRetriggerTimer:");
}

std::string RescanTimer::formatTriggerDate(double secondsFromNow)
{
    const std::time_t when = std::time(nullptr) + static_cast<std::time_t>(secondsFromNow);
    std::tm local{};
    localtime_r(&when, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

void RescanTimer::cancelRetriggerTimerOnMainThread()
{
    logInside(kClass, "cancelRetriggerTimerOnMainThread");
    // Every photo's scan request cancels the timer, which is almost never
    // armed then: the main thread is woken only when there is one to cancel.
    // The armings are read first: one that ends between the two reads has set
    // fActive already.
    if (fArmings.load() == 0 && !fActive.load())
        return;
    MainThread::perform(fContext.get(), [this] { cancelRetriggerTimer(); });
}

void RescanTimer::cancelRetriggerTimer()
{
    fActive = false;
    if (fTimer) {
        fTimer->stop();
        fTimer->deleteLater();
    }
    fTimer = nullptr;
}

void RescanTimer::doAutoResynchronize()
{
    fActive = false;
    if (fTimer) {
        fTimer->deleteLater();
        fTimer = nullptr;
    }
    if (gStartedUploadProcess) {
        ConsoleLog::write("Inside doAutoResynchronize - a process already in session???");
        return;
    }
    if (!Preferences::getDoAutoSynchronize()) {
        ConsoleLog::writef("Inside %s => %s...  NO Need to autoResynchronize", kClass, "doAutoResynchronize:");
        return;
    }
    ConsoleLog::writef("Inside %s => %s...  Okay to start upload process again...", kClass, "doAutoResynchronize:");
    fSynchronizeAgain();
}
