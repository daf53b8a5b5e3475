// A photo the web service always stalls on, end to end against the reference
// service: the watchdog cuts it off again and again. From the second cut-off
// in a row on it waits a growing pause, remembered across the relaunch, while
// the other photos are filed; an answer ends it all.

#include "StationFixture.h"

#include "filing/PhotoRetryPausesFile.h"

#include <algorithm>

using TestSupport::waitFor;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

class WatchdogLoopTest : public StationFixture {
protected:
    void SetUp() override
    {
        StationFixture::SetUp();
        // IMG_A.jpg hangs the service whatever else it answers.
        RefBehaviour hang;
        hang.hang = true;
        restartServer({{"IMG_A.jpg", hang}});
        store().setObject(PrefKey::UploadTimeOut, PlistValue::real(1));
        store().setBool(PrefKey::DoCheckOrders, false);
    }
    void restartServer(std::map<std::string, RefBehaviour> byFileName)
    {
        fServer->stop();
        RefServer::Options options;
        options.root = fSandbox.file("service");
        options.byFileName = std::move(byFileName);
        fServer = std::make_unique<RefServer>(options);
        std::string why;
        ASSERT_TRUE(fServer->start(&why)) << why;
        store().setString(PrefKey::OrvURL, fServer->url());
    }

    std::string stalling() const { return source() + "/Adams/IMG_A.jpg"; }
    // Each send of the photo, as the uploader logs it (a hung request may reach the service's record late).
    size_t sendsOf(const std::string& path) const { return fLog.count("Sending [" + path + "] to the web service"); }
    bool filed(const std::string& relative) const
    {
        return fs::exists(mirror() + "/" + relative) && !fs::exists(source() + "/" + relative);
    }
    PhotoRetryPauses& pauses() { return fStation->photoRetryPauses(); }
    bool waitsItsPause() { return !pauses().mayBeSentNow(stalling()).maySend; }
    std::string pausesFile() const { return fSandbox.file("state/" + std::string(PhotoRetryPausesFile::kFileName)); }

    // The shortest time in which n sends can be cut off: each waits the time-out
    // (1 s), and from the second cut-off in a row on the next send waits 1 s, 2 s, 4 s ...
    static double secondsNeededFor(int cutOffs)
    {
        double seconds = 0;
        for (int k = 1; k <= cutOffs; ++k)
            seconds += 1 + (k >= 2 && k < cutOffs ? std::min(60.0, double(1 << (k - 2))) : 0);
        return seconds;
    }
};

TEST_F(WatchdogLoopTest, APhotoThatAlwaysStallsWaitsItsGrowingPauseAcrossARelaunchWhileTheOthersAreFiled)
{
    photo("Adams/IMG_A.jpg");
    photo("Adams/IMG_B.jpg");
    photo("Brown/IMG_C.jpg");
    startStation();
    const auto began = std::chrono::steady_clock::now();
    synchronize();

    // The others are filed although the first photo of the folder hangs every time.
    ASSERT_TRUE(waitFor([&] { return filed("Adams/IMG_B.jpg") && filed("Brown/IMG_C.jpg"); }, 60s))
        << "sends of A: " << sendsOf(stalling());
    // Left to it alone, the station goes on trying A, each time after a longer pause.
    ASSERT_TRUE(waitFor(
        [&] { return pauses().cutOffsInARow(stalling()) >= 5 && waitsItsPause() && !gStartedUploadProcess; }, 90s));
    const int cutOffs = pauses().cutOffsInARow(stalling());
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();

    EXPECT_TRUE(fs::exists(stalling())) << "never filed, never lost";
    EXPECT_FALSE(fs::exists(mirror() + "/Adams/IMG_A.jpg"));
    EXPECT_FALSE(fs::exists(problem("Adams/IMG_A.jpg")));
    EXPECT_EQ(received()["IMG_B.jpg"], 1);
    EXPECT_EQ(received()["IMG_C.jpg"], 1);
    EXPECT_EQ(sendsOf(stalling()), size_t(cutOffs)) << "every send of A was cut off and counted";
    EXPECT_LE(received()["IMG_A.jpg"], cutOffs);
    EXPECT_TRUE(waitFor([&] { return fStation->relaunches.load() == cutOffs; }))
        << "each cut-off still asks for the relaunch: " << fStation->relaunches.load();
    EXPECT_GE(elapsed, secondsNeededFor(cutOffs)) << "sent more often than its pauses allow";
    const auto answer = pauses().mayBeSentNow(stalling());
    EXPECT_LE(answer.wait, std::chrono::seconds(1 << (cutOffs - 2)));
    EXPECT_TRUE(fLog.contains("Adams/IMG_A.jpg was cut off by the watchdog again (2 times in a row"));
    EXPECT_TRUE(fLog.contains(stringWithFormat("(%d times in a row", cutOffs)));
    EXPECT_TRUE(fLog.contains("; next attempt at "));
    EXPECT_EQ(fLog.count("The web service cannot be reached"), 0u) << "a stalled photo holds nobody else back";
    EXPECT_EQ(fStation->stationStatusReport().find("\"nextAttempt\":null"), std::string::npos);
    ASSERT_TRUE(fs::exists(pausesFile()));

    // The relaunch: a new station on the same state folder, with a new photo.
    const size_t sentBefore = sendsOf(stalling());
    stopStation();
    photo("Cole/IMG_D.jpg");
    startStation();
    synchronize();
    ASSERT_TRUE(waitFor([&] { return filed("Cole/IMG_D.jpg") && !gStartedUploadProcess; }, 30s));
    EXPECT_EQ(sendsOf(stalling()), sentBefore) << "A is not sent at once after the relaunch";
    EXPECT_EQ(pauses().cutOffsInARow(stalling()), cutOffs);
    EXPECT_TRUE(fLog.contains(stringWithFormat("was cut off by the watchdog %d time(s) in a row before this start; "
                                               "cut off by the watchdog again; next attempt at ",
                                               cutOffs)));
    EXPECT_NE(fStation->stationStatusReport().find("cut off by the watchdog again; next attempt at "),
              std::string::npos)
        << fStation->stationStatusReport();

    // Its pause over, it is tried once more, and waits longer still.
    ASSERT_TRUE(waitFor([&] { return pauses().cutOffsInARow(stalling()) == cutOffs + 1 && waitsItsPause(); }, 60s));
    EXPECT_EQ(sendsOf(stalling()), sentBefore + 1);
    EXPECT_GT(pauses().mayBeSentNow(stalling()).wait, std::chrono::seconds(1 << (cutOffs - 2)));
}

TEST_F(WatchdogLoopTest, AnAnswerEndsTheCutOffsAndTheFiledPhotoLeavesNothingBehind)
{
    photo("Adams/IMG_A.jpg");
    startStation();
    synchronize();
    ASSERT_TRUE(waitFor([&] { return pauses().cutOffsInARow(stalling()) >= 2 && waitsItsPause(); }, 60s));
    EXPECT_TRUE(waitFor([&] { return fStation->relaunches.load() == 2; }));

    // The service mends its ways: A is answered at its next attempt and filed.
    restartServer({});
    ASSERT_TRUE(waitFor([&] { return filed("Adams/IMG_A.jpg") && idle(); }, 60s));
    EXPECT_EQ(received()["IMG_A.jpg"], 1) << "the new service received it once";
    EXPECT_EQ(pauses().cutOffsInARow(stalling()), 0);
    EXPECT_EQ(pauses().size(), 0u);
    EXPECT_EQ(fStation->relaunches.load(), 2);

    // Nothing of it is left for the next start.
    PhotoRetryPauses next;
    EXPECT_EQ(PhotoRetryPausesFile(pausesFile()).load(next), 0u);
    EXPECT_EQ(next.cutOffsInARow(stalling()), 0);
}
