#include "hires/OrderCheck.h"
#include "HiResTestSupport.h"

#include <atomic>
#include <cmath>
#include <limits>
#include <thread>

using namespace HiResTesting;
using TestSupport::LogCapture;
using TestSupport::waitFor;

TEST(OrderCheckIntervalTest, TheStoredMinutesGiveTheInterval)
{
    EXPECT_EQ(OrderCheck::intervalSecondsFor(std::nullopt), 3600.0);
    EXPECT_EQ(OrderCheck::intervalSecondsFor(PlistValue::integer(60)), 3600.0);
    EXPECT_EQ(OrderCheck::intervalSecondsFor(PlistValue::real(2.5)), 150.0);
    EXPECT_EQ(OrderCheck::intervalSecondsFor(PlistValue::string("2.5")), 150.0);
    EXPECT_EQ(OrderCheck::intervalSecondsFor(PlistValue::integer(0)), 10.0);
    EXPECT_EQ(OrderCheck::intervalSecondsFor(PlistValue::integer(-5)), 10.0);
    EXPECT_EQ(OrderCheck::intervalSecondsFor(PlistValue::string("hourly")), 10.0);
    EXPECT_EQ(OrderCheck::intervalSecondsFor(PlistValue::real(std::nan(""))), 10.0);
    EXPECT_EQ(OrderCheck::intervalSecondsFor(PlistValue::real(std::numeric_limits<double>::infinity())), 10.0);
    // Beyond what a timer can hold: the longest it can.
    EXPECT_EQ(OrderCheck::intervalSecondsFor(PlistValue::real(1e12)), 2147483.0);
}

// The whole chain on the main thread's event loop, against the reference service.
class OrderCheckTest : public HiResTest {
protected:
    void SetUp() override
    {
        HiResTest::SetUp();
        UserDefaults::standard().setBool(PrefKey::DoCheckOrders, true);
        UserDefaults::standard().setObject(PrefKey::MinutesForCheckOrders, PlistValue::real(0.5));
    }
    void TearDown() override
    {
        if (fCheck) {
            fCheck->stop();
            EXPECT_TRUE(waitFor([this] { return fThreads.load() == 0; }, std::chrono::seconds(30)));
            fCheck.reset();
        }
        HiResTest::TearDown();
    }
    void makeCheck()
    {
        fCheck = std::make_unique<OrderCheck>(fProgress, [this](const char*, std::function<void()> fn) {
            ++fStarted;
            ++fThreads;
            std::thread([this, fn = std::move(fn)] {
                fn();
                --fThreads;
            }).detach();
        });
    }
    bool checkEnded()
    {
        return waitFor([this] { return fThreads.load() == 0 && !fCheck->status().running; });
    }

    RecordingProgress fProgress;
    std::unique_ptr<OrderCheck> fCheck;
    std::atomic<int> fThreads{0};
    std::atomic<int> fStarted{0};
};

TEST_F(OrderCheckTest, ACheckAtLaunchUploadsTheOrderAndArmsTheNextOne)
{
    const std::string photo = writeImage(altRoot() + "/IMG_1.jpg");
    serviceAnswers(3, {{"O-1", "I-1", "P-1", "/Shoot/IMG_1.jpg", ""}});
    makeCheck();
    fCheck->start();
    ASSERT_TRUE(waitFor([this] { return fCheck->isTimerArmed(); }));
    EXPECT_EQ(fCheck->timerInterval(), 30000);
    EXPECT_EQ(hiResUploads().size(), 1u);
    EXPECT_EQ(TestSupport::readWholeFile(fSandbox.file("service/HiRes/O-1/IMG_1.jpg")), photo);

    const OrderCheckStatus status = fCheck->status();
    EXPECT_FALSE(status.running);
    ASSERT_TRUE(status.lastCheckEnded && status.nextCheck);
    EXPECT_EQ(status.lastOutcome, "1 order: 1 uploaded");
    EXPECT_GT(*status.nextCheck, *status.lastCheckEnded);
    EXPECT_EQ(fProgress.opened(), 1);
    const auto lines = fProgress.lines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 4),
              (std::vector<std::string>{"title: Check Orders for Hi Res Photos",
                                        "line1: Checking For Orders Requiring Hi Res Photos...",
                                        "line2: Sending Query...", "bar: YES"}));
    EXPECT_EQ(lines.back(), "closed");

    // The timer's callback starts the next check on a new thread.
    fCheck->doQueryAndUploadHiResInThread();
    EXPECT_TRUE(waitFor([this] { return fStarted.load() == 2 && fThreads.load() == 0 && fCheck->isTimerArmed(); }));
    EXPECT_EQ(fServer->requests().size(), 3u); // the scripted order is answered once: two queries, one upload
    EXPECT_EQ(fCheck->status().lastOutcome, "0 orders");
}

TEST_F(OrderCheckTest, AServiceThatIsDownOrAnswersGarbageLeavesTheNextCheckScheduled)
{
    RefBehaviour garbage;
    garbage.body = "<html>Service Unavailable";
    fServer->script({garbage});
    UserDefaults::standard().setObject(PrefKey::MinutesForCheckOrders, PlistValue::string("soon"));
    makeCheck();
    fCheck->start();
    ASSERT_TRUE(waitFor([this] { return fCheck->isTimerArmed(); }));
    EXPECT_EQ(fCheck->timerInterval(), 10000);
    EXPECT_NE(fCheck->status().lastOutcome.find("could not be read"), std::string::npos);

    const int port = fServer->port();
    fServer->stop();
    UserDefaults::standard().setString(PrefKey::OrvURL, "http://127.0.0.1:" + std::to_string(port) + "/upload");
    UserDefaults::standard().removeObject(PrefKey::MinutesForCheckOrders);
    fCheck->doQueryAndUploadHiResInThread();
    EXPECT_FALSE(fCheck->isTimerArmed()); // one timer at a time: the fired one is gone
    ASSERT_TRUE(waitFor([this] { return fStarted.load() == 2 && fThreads.load() == 0 && fCheck->isTimerArmed(); }));
    EXPECT_EQ(fCheck->timerInterval(), 3600 * 1000);
    const std::string outcome = fCheck->status().lastOutcome;
    EXPECT_NE(outcome.find("could not reach the web service"), std::string::npos) << outcome;
    EXPECT_EQ(fProgress.count("line2: " + outcome), 1u);
}

TEST_F(OrderCheckTest, ChecksOffMeansNoCheckNoTimerAndNoWindow)
{
    UserDefaults::standard().setBool(PrefKey::DoCheckOrders, false);
    LogCapture log;
    makeCheck();
    fCheck->start();
    ASSERT_TRUE(checkEnded());
    EXPECT_TRUE(log.contains("Will NOT NOT NOT Check for Orders"));
    QCoreApplication::processEvents();
    EXPECT_FALSE(fCheck->isTimerArmed());
    EXPECT_EQ(fProgress.opened(), 0);
    EXPECT_EQ(fServer->requestCount(), 0u);
    EXPECT_FALSE(fCheck->status().lastCheckEnded);
}

TEST_F(OrderCheckTest, OneCheckAtATimeAndNoWindowIsNoObstacle)
{
    fProgress.canOpen = false;
    RefBehaviour slow;
    slow.delayMs = 1500;
    slow.orderVersion = 3;
    slow.orders = std::vector<RefOrder>{};
    fServer->script({slow});
    LogCapture log;
    makeCheck();
    fCheck->start();
    ASSERT_TRUE(waitFor([this] { return fCheck->status().running; }));
    fCheck->doQueryAndUploadHiResProcess(); // a second worker, turned away
    EXPECT_TRUE(log.contains("Already running a thread for doQueryAndUploadHiResProcess..."));
    ASSERT_TRUE(waitFor([this] { return fCheck->isTimerArmed(); }));
    EXPECT_TRUE(log.contains("UNABLE to create _newMaintProgressWindow....."));
    EXPECT_EQ(fServer->requestCount(), 1u);
    EXPECT_EQ(fCheck->status().lastOutcome, "0 orders");
}

TEST_F(OrderCheckTest, StoppingEndsARunningCheckAndArmsNothing)
{
    RefBehaviour hang;
    hang.hang = true;
    fServer->script({hang});
    makeCheck();
    fCheck->start();
    ASSERT_TRUE(waitFor([this] { return fCheck->status().running; }));
    fCheck->stop();
    ASSERT_TRUE(checkEnded());
    QCoreApplication::processEvents();
    EXPECT_FALSE(fCheck->isTimerArmed());
    EXPECT_FALSE(fCheck->status().nextCheck);
}
