#include "UploadTestSupport.h"

#include "upload/UploadWatchdog.h"

#include <QObject>
#include <thread>

using namespace UploadTesting;
using TestSupport::waitFor;
using namespace std::chrono_literals;

// The time-out around one upload: it fires at most once, cuts the hung
// transfer off and asks the delegate to relaunch; it stays silent when the
// reply comes first.
class UploadWatchdogTest : public UploadTest {
protected:
    void SetUp() override
    {
        UploadTest::SetUp();
        store().setObject(PrefKey::UploadTimeOut, PlistValue::real(0.3));
    }
    void idle(std::chrono::milliseconds length)
    {
        waitFor([] { return false; }, length);
    }

    RecordingDelegate fDelegate;
    TestSupport::LogCapture fLog;
};

TEST_F(UploadWatchdogTest, AHungUploadIsCutOffAndRelaunchedOnce)
{
    fController->setProgressDelegate(&fDelegate);
    RefBehaviour hang;
    hang.hang = true;
    fServer->script({hang});

    const auto result = upload(itemFor(photo("a.jpg", "A")));
    ASSERT_TRUE(result);
    ASSERT_TRUE(result->httpError) << "the transfer was stopped";
    EXPECT_NE(result->httpError->localizedDescription.find("longer than 0.3 seconds"), std::string::npos)
        << result->httpError->localizedDescription;
    EXPECT_FALSE(result->httpStatusCode);
    EXPECT_EQ(posts().back(), cNotification_UploadFail) << "the photo stays to be tried again";

    ASSERT_TRUE(waitFor([&] { return fDelegate.requests().size() == 1; }, 5s));
    idle(700ms);
    const auto requests = fDelegate.requests();
    ASSERT_EQ(requests.size(), 1u) << "the watchdog fires once";
    EXPECT_EQ(requests[0].LSLaunchFlags, 1049344) << "not active: relaunch without raising the window";
    EXPECT_EQ(requests[0].sender, fController.get());
    EXPECT_EQ(
        fLog.count("Inside HttpController => uploadTimerFired:.....Taking too long to upload - need to relaunch...."),
        1u);
    ASSERT_TRUE(waitFor([&] { return fServer->requestCount() == 1; }, 5s));
    EXPECT_EQ(fServer->requests()[0].outcome, "hung");
}

TEST_F(UploadWatchdogTest, AnActiveApplicationIsRelaunchedToTheFront)
{
    fDelegate.active = true;
    fController->setProgressDelegate(&fDelegate);
    RefBehaviour hang;
    hang.hang = true;
    fServer->script({hang});
    upload(itemFor(photo("a.jpg", "A")));
    ASSERT_TRUE(waitFor([&] { return fDelegate.requests().size() == 1; }, 5s));
    EXPECT_EQ(fDelegate.requests()[0].LSLaunchFlags, 1);
}

TEST_F(UploadWatchdogTest, AReplyBeforeTheTimeOutCancelsIt)
{
    fController->setProgressDelegate(&fDelegate);
    const auto result = upload(itemFor(photo("a.jpg", "A")));
    ASSERT_TRUE(result);
    EXPECT_EQ(result->httpOurCustomStatus, "OK");
    idle(900ms); // three times the time-out
    EXPECT_TRUE(fDelegate.requests().empty());
    EXPECT_FALSE(fLog.contains("Taking too long to upload"));
}

TEST_F(UploadWatchdogTest, WithoutADelegateTheSlowUploadIsLeftAlone)
{
    RefBehaviour slow;
    slow.delayMs = 1200;
    fServer->script({slow});
    const auto result = upload(itemFor(photo("a.jpg", "A")));
    ASSERT_TRUE(result);
    EXPECT_FALSE(result->httpError);
    EXPECT_EQ(result->httpStatusCode, 200);
    EXPECT_EQ(result->httpOurCustomStatus, "OK");
    EXPECT_EQ(fLog.count("Taking too long to upload - need to relaunch"), 1u);
}

TEST(UploadWatchdogTimerTest, FiringAndCancellingRaceToOneOutcome)
{
    QObject context;
    UploadWatchdogTimer timer(&context);
    int fired = 0;
    auto early = timer.arm(0.05, [&](UploadWatchdog&) { ++fired; });
    EXPECT_TRUE(early->cancel());
    auto late = timer.arm(0.05, [&](UploadWatchdog& w) {
        ++fired;
        w.abortTransfer();
    });
    ASSERT_TRUE(waitFor([&] { return late->hasFired(); }, 5s));
    EXPECT_FALSE(late->cancel()) << "too late to cancel";
    EXPECT_TRUE(late->isTransferAborted());
    waitFor([] { return false; }, 200ms);
    EXPECT_EQ(fired, 1);
    EXPECT_FALSE(early->hasFired());
}

// The time-out counts from the last byte moved, not from the start: a long
// exchange that keeps moving is left alone, however long it takes.
TEST_F(UploadWatchdogTest, AnExchangeThatKeepsMovingIsNotCutOff)
{
    store().setObject(PrefKey::UploadTimeOut, PlistValue::real(1.0));
    fController->setProgressDelegate(&fDelegate);
    RefBehaviour slow;
    slow.trickleMs = 100; // 30 pieces: three times the time-out in all
    slow.padTo = 480;
    fServer->script({slow});
    const auto result = upload(itemFor(photo("a.jpg", "A")));
    ASSERT_TRUE(result);
    EXPECT_FALSE(result->httpError);
    EXPECT_EQ(result->httpStatusCode, 200);
    EXPECT_EQ(result->httpOurCustomStatus, "OK");
    EXPECT_EQ(result->httpReturnData->size(), 480u);
    EXPECT_TRUE(fDelegate.requests().empty());
    EXPECT_FALSE(fLog.contains("Taking too long to upload"));
}

// Once the body is sent, waiting for the reply is no progress: a service
// that takes the photo and then falls silent still trips the time-out.
TEST_F(UploadWatchdogTest, SilenceAfterTheBodyCountsFromTheLastByte)
{
    fController->setProgressDelegate(&fDelegate);
    RefBehaviour late;
    late.delayMs = 3000;
    fServer->script({late});
    const auto result = upload(itemFor(photo("a.jpg", std::string(256 * 1024, 'x'))));
    ASSERT_TRUE(result);
    ASSERT_TRUE(result->httpError);
    EXPECT_NE(result->httpError->localizedDescription.find("moved no data for longer than 0.3 seconds"),
              std::string::npos)
        << result->httpError->localizedDescription;
    ASSERT_TRUE(waitFor([&] { return fDelegate.requests().size() == 1; }, 5s));
    ASSERT_TRUE(waitFor([&] { return fServer->requestCount() == 1; }, 10s));
    const auto request = fServer->requests()[0];
    ASSERT_EQ(request.files.size(), 1u);
    EXPECT_EQ(request.files[0].size, 256u * 1024) << "the whole photo went out before the silence";
}

TEST(UploadWatchdogTimerTest, ProgressPostponesFiringUntilTheTransferFallsIdle)
{
    QObject context;
    UploadWatchdogTimer timer(&context);
    std::atomic<int> fired{0};
    auto watchdog = timer.arm(1.0, [&](UploadWatchdog&) { ++fired; });
    std::atomic<bool> moving{true};
    std::thread transfer([&] {
        const auto end = std::chrono::steady_clock::now() + 2500ms;
        while (std::chrono::steady_clock::now() < end) {
            watchdog->noteProgress();
            std::this_thread::sleep_for(50ms);
        }
        moving = false;
    });
    waitFor([&] { return !moving.load(); }, 10s);
    transfer.join();
    EXPECT_EQ(fired.load(), 0) << "bytes kept moving for longer than the time-out";
    ASSERT_TRUE(waitFor([&] { return watchdog->hasFired(); }, 5s)) << "the idle transfer trips it";
    EXPECT_EQ(fired.load(), 1);
    EXPECT_FALSE(watchdog->cancel());
}

// Uploads that come and go in quick succession share the one timer: the main
// thread is not woken for each of them, and an upload with a shorter time-out
// than the one the timer waits for is still cut off at its own time.
TEST(UploadWatchdogTimerTest, ManyUploadsShareOneTimerAndAShorterTimeOutStillFires)
{
    QObject context;
    UploadWatchdogTimer timer(&context);
    std::atomic<int> fired{0};
    std::thread worker([&] {
        for (int i = 0; i < 500; ++i) {
            auto w = timer.arm(60.0, [&](UploadWatchdog&) { ++fired; });
            w->noteProgress();
            EXPECT_TRUE(w->cancel());
        }
    });
    worker.join();
    waitFor([&] { return timer.settings() >= 1; }, 5s);
    EXPECT_EQ(timer.settings(), 1u) << "one setting of the timer for 500 uploads";

    auto slow = timer.arm(60.0, [&](UploadWatchdog&) { ++fired; });
    auto hung = timer.arm(0.05, [&](UploadWatchdog& w) { w.abortTransfer(); });
    ASSERT_TRUE(waitFor([&] { return hung->hasFired(); }, 5s));
    EXPECT_TRUE(hung->isTransferAborted());
    EXPECT_FALSE(slow->hasFired());
    EXPECT_TRUE(slow->cancel());
    EXPECT_EQ(fired.load(), 0);
}
