#include "filing/PhotoRetryPauses.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace std::chrono_literals;
using Clock = PhotoRetryPauses::Clock;
using Destination = PhotoRetryPauses::Destination;

// Pauses on a clock the test moves by hand.
class PhotoRetryPausesTest : public ::testing::Test {
protected:
    PhotoRetryPausesTest()
    {
        fPauses.setClock([this] { return fNow; });
    }

    Clock::time_point fNow = Clock::time_point(100h);
    PhotoRetryPauses fPauses;
    const PhotoRetryPauses::Filing fFiling{"/src", "Adams/IMG_1.jpg", Destination::MirrorSiteFolder, ""};
};

TEST_F(PhotoRetryPausesTest, EachFailureDoublesThePauseUpToAMinuteAndFilingEndsIt)
{
    const std::string photo = "/src/Adams/IMG_1.jpg";
    EXPECT_TRUE(fPauses.mayBeSentNow(photo).maySend) << "a photo never refused goes at once";
    std::vector<long> pauses;
    for (int i = 0; i < 9; ++i)
        pauses.push_back(std::chrono::duration_cast<std::chrono::seconds>(fPauses.sendFailed(photo)).count());
    EXPECT_EQ(pauses, (std::vector<long>{1, 2, 4, 8, 16, 32, 60, 60, 60}));

    const auto answer = fPauses.mayBeSentNow(photo);
    EXPECT_FALSE(answer.maySend);
    EXPECT_EQ(answer.wait, Clock::duration(60s));
    EXPECT_NE(answer.reason.find("not taken by the web service; sent again at "), std::string::npos);
    EXPECT_TRUE(fPauses.mayBeSentNow("/src/Adams/IMG_2.jpg").maySend) << "the other photos go on";
    fNow += 59s;
    EXPECT_FALSE(fPauses.mayBeSentNow(photo).maySend);
    fNow += 1s;
    EXPECT_TRUE(fPauses.mayBeSentNow(photo).maySend);

    // Filed at last: the next refusal starts from a second again.
    fPauses.forget(photo);
    EXPECT_EQ(fPauses.sendFailed(photo), Clock::duration(1s));
}

TEST_F(PhotoRetryPausesTest, APhotoTheServiceTookIsNeverSentAgainOnlyFiled)
{
    const std::string photo = "/src/Adams/IMG_1.jpg";
    fPauses.sendFailed(photo);
    fPauses.sendFailed(photo);
    EXPECT_EQ(fPauses.filingFailed(photo, fFiling), Clock::duration(1s)) << "a new kind of wait starts afresh";
    EXPECT_EQ(fPauses.filingFailed(photo, fFiling), Clock::duration(2s));
    EXPECT_TRUE(fPauses.filingsDue().empty());
    EXPECT_EQ(fPauses.nextFilingIn(), Clock::duration(2s));

    fNow += 1h;
    const auto answer = fPauses.mayBeSentNow(photo);
    EXPECT_FALSE(answer.maySend) << "not even long after its pause";
    EXPECT_EQ(answer.wait, Clock::duration::zero()) << "the scan need not come back for it";
    EXPECT_NE(answer.reason.find("uploaded, but it could not be filed"), std::string::npos);
    const auto due = fPauses.filingsDue();
    ASSERT_EQ(due.size(), 1u);
    EXPECT_EQ(due[0].photoPath, photo);
    EXPECT_EQ(due[0].filing, fFiling);
    EXPECT_EQ(fPauses.nextFilingIn(), Clock::duration::zero());

    fPauses.forget(photo);
    EXPECT_TRUE(fPauses.mayBeSentNow(photo).maySend);
    EXPECT_FALSE(fPauses.nextFilingIn());
}

TEST_F(PhotoRetryPausesTest, TheNextAttemptIsTheEarliestOfAllPhotos)
{
    EXPECT_FALSE(fPauses.nextAttempt());
    const auto before = std::chrono::system_clock::now();
    fPauses.sendFailed("/src/A.jpg");
    fPauses.sendFailed("/src/A.jpg"); // 2 s
    fPauses.sendFailed("/src/B.jpg"); // 1 s
    fPauses.filingFailed("/src/C.jpg", fFiling);
    fPauses.filingFailed("/src/C.jpg", fFiling); // 2 s
    const auto next = fPauses.nextAttempt();
    ASSERT_TRUE(next);
    EXPECT_EQ(next->photoPath, "/src/B.jpg");
    EXPECT_EQ(next->waits, PhotoRetryPauses::Waits::ToBeSent);
    EXPECT_GE(next->when, before + 1s);
    EXPECT_LE(next->when, std::chrono::system_clock::now() + 1s);
    EXPECT_EQ(fPauses.size(), 3u);
}

TEST_F(PhotoRetryPausesTest, PausesWrittenOutAreReadBackWithTheTimeLeft)
{
    fPauses.sendFailed("/src/A.jpg");
    fPauses.sendFailed("/src/A.jpg");
    fPauses.sendFailed("/src/A.jpg"); // 4 s
    const PhotoRetryPauses::Filing toProblem{"/src", "Brown/IMG_2.jpg", Destination::ProblemFolder, "12:3.4:5"};
    fPauses.filingFailed("/src/Brown/IMG_2.jpg", toProblem);
    const PlistValue written = fPauses.toPlist();

    // Another process, another steady clock.
    PhotoRetryPauses restored;
    Clock::time_point later = Clock::time_point(7h);
    restored.setClock([&] { return later; });
    PlistValue::Array entries = *written.asArray();
    entries.push_back(PlistValue::string("junk"));
    entries.push_back(PlistValue::dictionary({{"path", PlistValue::string("/src/X.jpg")}}));
    entries.push_back(PlistValue::dictionary({{"path", PlistValue::string("/src/Y.jpg")},
                                              {"waits", PlistValue::string("send")},
                                              {"pauseSeconds", PlistValue::real(std::nan(""))},
                                              {"nextAttempt", PlistValue::date({1e9})}}));
    // A next attempt far away (a clock set wrong meanwhile) waits at most the longest pause.
    entries.push_back(PlistValue::dictionary({{"path", PlistValue::string("/src/Z.jpg")},
                                              {"waits", PlistValue::string("send")},
                                              {"pauseSeconds", PlistValue::real(8)},
                                              {"nextAttempt", PlistValue::date({4e9})}}));
    restored.restore(PlistValue::array(entries));
    EXPECT_EQ(restored.size(), 3u);

    const auto a = restored.mayBeSentNow("/src/A.jpg");
    EXPECT_FALSE(a.maySend);
    EXPECT_GT(a.wait, Clock::duration(3s));
    EXPECT_LE(a.wait, Clock::duration(4s));
    EXPECT_LE(restored.mayBeSentNow("/src/Z.jpg").wait, Clock::duration(PhotoRetryPauses::kLongestPause));
    EXPECT_EQ(restored.sendFailed("/src/A.jpg"), Clock::duration(8s)) << "the pause goes on growing";
    EXPECT_FALSE(restored.mayBeSentNow("/src/Brown/IMG_2.jpg").maySend);
    later += 2s;
    const auto due = restored.filingsDue();
    ASSERT_EQ(due.size(), 1u);
    EXPECT_EQ(due[0].filing, toProblem);

    restored.restore(PlistValue::string("not a list"));
    EXPECT_EQ(restored.size(), 0u);
}

TEST_F(PhotoRetryPausesTest, WatchdogCutOffsPauseThePhotoFromTheSecondInARowUntilItIsAnswered)
{
    const std::string photo = "/src/Adams/IMG_1.jpg";
    int changes = 0;
    fPauses.setChangeListener([&] { ++changes; });

    const auto first = fPauses.cutOffByWatchdog(photo);
    EXPECT_EQ(first.inARow, 1);
    EXPECT_FALSE(first.pause) << "one hang may be the network's: sent again at once";
    EXPECT_TRUE(fPauses.mayBeSentNow(photo).maySend);
    EXPECT_FALSE(fPauses.nextAttempt()) << "nothing waits yet";
    EXPECT_EQ(changes, 1) << "the count alone must reach the disk before the relaunch";

    std::vector<long> pauses;
    for (int i = 0; i < 8; ++i)
        pauses.push_back(
            std::chrono::duration_cast<std::chrono::seconds>(*fPauses.cutOffByWatchdog(photo).pause).count());
    EXPECT_EQ(pauses, (std::vector<long>{1, 2, 4, 8, 16, 32, 60, 60}));
    EXPECT_EQ(fPauses.cutOffsInARow(photo), 9);
    const auto answer = fPauses.mayBeSentNow(photo);
    EXPECT_FALSE(answer.maySend);
    EXPECT_NE(answer.reason.find("cut off by the watchdog again; next attempt at "), std::string::npos)
        << answer.reason;
    EXPECT_TRUE(fPauses.mayBeSentNow("/src/Adams/IMG_2.jpg").maySend) << "the other photos go on";
    ASSERT_TRUE(fPauses.nextAttempt());
    EXPECT_EQ(fPauses.nextAttempt()->photoPath, photo);

    // Its pause over, it may go once more; a cut-off then keeps it growing.
    fNow += 60s;
    EXPECT_TRUE(fPauses.mayBeSentNow(photo).maySend);

    // An answer, whatever it says, ends the cut-offs and their pause.
    fPauses.answered(photo);
    EXPECT_EQ(fPauses.cutOffsInARow(photo), 0);
    EXPECT_TRUE(fPauses.mayBeSentNow(photo).maySend);
    EXPECT_EQ(fPauses.size(), 0u);
    EXPECT_FALSE(fPauses.cutOffByWatchdog(photo).pause) << "counting starts again";

    // A refusal's pause is not ended by the answer that brought it, and starts afresh after cut-offs.
    fPauses.cutOffByWatchdog(photo);
    fPauses.cutOffByWatchdog(photo); // 2 s
    fPauses.answered(photo);
    EXPECT_EQ(fPauses.sendFailed(photo), Clock::duration(1s));
    fPauses.answered(photo);
    EXPECT_FALSE(fPauses.mayBeSentNow(photo).maySend);

    // Filed, or uploaded and waiting to be filed: the cut-offs are over.
    fPauses.cutOffByWatchdog(photo);
    fPauses.forget(photo);
    EXPECT_EQ(fPauses.cutOffsInARow(photo), 0);
    fPauses.cutOffByWatchdog(photo);
    fPauses.filingFailed(photo, fFiling);
    EXPECT_EQ(fPauses.cutOffsInARow(photo), 0);

    const int before = changes;
    fPauses.forget("/src/never-seen.jpg");
    fPauses.answered("/src/never-seen.jpg");
    EXPECT_EQ(changes, before) << "nothing changed, nothing to write";
}
