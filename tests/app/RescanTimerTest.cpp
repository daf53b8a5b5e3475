#include "app/RescanTimer.h"
#include "app/MainThreadPresenter.h"
#include "platform/UserDefaults.h"
#include "prefs/PreferenceKeys.h"

#include "RecordingPresenter.h"
#include "TestSupport.h"

#include <atomic>
#include <chrono>
#include <thread>

using namespace std::chrono_literals;
using TestSupport::waitFor;

class RescanTimerTest : public StoreSandboxTest {
protected:
    void SetUp() override
    {
        StoreSandboxTest::SetUp();
        UserDefaults::standard().setBool(PrefKey::AutoSynchronize, true);
        UserDefaults::standard().setObject(PrefKey::SecondsBetweenScans, PlistValue::real(1));
    }

    RecordingPresenter fShown;
    MainThreadPresenter fPresenter{fShown};
    std::atomic<int> fSynchronized{0};
    RescanTimer fTimer{fPresenter, [this] { fSynchronized.fetch_add(1); }};
};

TEST_F(RescanTimerTest, IsActiveOnlyWhileArmedAndNotYetDue)
{
    EXPECT_FALSE(fTimer.isActive());
    fTimer.doSetupRetriggerTimer();
    EXPECT_TRUE(fTimer.isActive());
    fTimer.cancelRetriggerTimer();
    EXPECT_FALSE(fTimer.isActive());

    fTimer.doSetupRetriggerTimer();
    fTimer.doSetupRetriggerTimer(); // armed again: one timer, not two
    ASSERT_TRUE(waitFor([&] { return fSynchronized.load() == 1; }, 10s));
    EXPECT_FALSE(fTimer.isActive()) << "a timer that came due is no longer armed";
    TestSupport::waitFor([] { return false; }, 1500ms);
    EXPECT_EQ(fSynchronized.load(), 1);
}

TEST_F(RescanTimerTest, ArmingFromAWorkerHappensOnTheMainThread)
{
    std::thread worker([&] { fTimer.doSetupRetriggerTimerOnMainThread(); });
    worker.join();
    ASSERT_TRUE(waitFor([&] { return fTimer.isActive(); }, 10s));
    EXPECT_NE(fShown.field(StatusPresenter::Field::ProcessLine).find("Next Auto-Synchronize Trigger Date = "),
              std::string::npos);
    std::thread canceller([&] { fTimer.cancelRetriggerTimerOnMainThread(); });
    canceller.join();
    ASSERT_TRUE(waitFor([&] { return !fTimer.isActive(); }, 10s));
}

TEST_F(RescanTimerTest, NothingIsArmedWhileAutoSynchronizeIsOff)
{
    UserDefaults::standard().setBool(PrefKey::AutoSynchronize, false);
    fTimer.doSetupRetriggerTimer();
    EXPECT_FALSE(fTimer.isActive());
}
