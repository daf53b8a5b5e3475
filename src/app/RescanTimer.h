#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

class MainThreadPresenter;
class QObject;
class QTimer;

// The rescan timer: armed when a pass finds nothing ready, it asks for
// another pass after the configured seconds while auto-synchronize is on.
// Arming and cancelling happen on the main thread; the "OnMainThread" forms
// may be called from any thread.
class RescanTimer {
public:
    // synchronizeAgain: what a due timer does (the Synchronize button's work).
    RescanTimer(MainThreadPresenter& presenter, std::function<void()> synchronizeAgain);
    ~RescanTimer();
    RescanTimer(const RescanTimer&) = delete;
    RescanTimer& operator=(const RescanTimer&) = delete;

    // Whether the status line adds the note that folder events would make the timer unnecessary.
    void setRunningLeopard(bool value) { fRunningLeopard = value; }

    void doSetupRetriggerTimerOnMainThread();
    void doSetupRetriggerTimer();
    void cancelRetriggerTimerOnMainThread();
    void cancelRetriggerTimer();
    // The timer's work when it comes due.
    void doAutoResynchronize();

    // Whether a timer is armed and not yet due; any thread.
    bool isActive() const { return fActive.load(); }

    static std::string formatTriggerDate(double secondsFromNow);

private:
    MainThreadPresenter& fPresenter;
    std::function<void()> fSynchronizeAgain;
    std::unique_ptr<QObject> fContext; // on the main thread; queued work dies with it
    QTimer* fTimer = nullptr;          // a child of fContext
    std::atomic<bool> fActive{false};
    // Armings asked for or under way: until they are done a cancel must be
    // queued behind them; with none and no timer, a cancel has nothing to do.
    std::atomic<int> fArmings{0};
    std::atomic<bool> fRunningLeopard{false};
};
