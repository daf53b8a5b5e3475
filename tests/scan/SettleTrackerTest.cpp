#include "scan/SettleTracker.h"
#include "scan/ScanWakeup.h"

#include "TestSupport.h"

#include <atomic>
#include <filesystem>
#include <thread>

using namespace std::chrono_literals;
using Clock = SettleTracker::Clock;
using TestSupport::createFileWithContents;
using TestSupport::waitFor;

class SettleTrackerTest : public SandboxedTest {
protected:
    SettleTracker fTracker{[this] { return fNow; }};
    Clock::time_point fNow = Clock::time_point(1h);
};

TEST_F(SettleTrackerTest, AFileSettlesOnlyWhileNothingAboutItChanges)
{
    const std::string movie = fSandbox.file("IMG_1.mov");
    createFileWithContents(movie, "part");
    auto identity = *SettleTracker::Identity::ofPath(movie);
    EXPECT_EQ(fTracker.unchangedFor(movie, identity), Clock::duration::zero())
        << "the first look knows nothing of its past";
    fNow += 1500ms;
    EXPECT_EQ(fTracker.unchangedFor(movie, identity), 1500ms);

    // More bytes: the wait starts again.
    createFileWithContents(movie, "part and more");
    identity = *SettleTracker::Identity::ofPath(movie);
    fNow += 1s;
    EXPECT_EQ(fTracker.unchangedFor(movie, identity), Clock::duration::zero());
    fNow += 2s;
    EXPECT_EQ(fTracker.unchangedFor(movie, identity), 2s);

    // Same size, but rewritten in place, or replaced by another file.
    auto touched = identity;
    touched.modifiedNs += 1;
    EXPECT_EQ(fTracker.unchangedFor(movie, touched), Clock::duration::zero());
    auto replaced = touched;
    replaced.inode += 1;
    fNow += 1s;
    EXPECT_EQ(fTracker.unchangedFor(movie, replaced), Clock::duration::zero());

    // A link is looked at as a link.
    std::filesystem::create_symlink(movie, fSandbox.file("link.mov"));
    EXPECT_NE(SettleTracker::Identity::ofPath(fSandbox.file("link.mov"))->inode, identity.inode);
    EXPECT_FALSE(SettleTracker::Identity::ofPath(fSandbox.file("gone.mov")));
}

TEST_F(SettleTrackerTest, ACompletePassForgetsFilesThatLeft)
{
    SettleTracker::Identity identity;
    fTracker.beginPass();
    fTracker.unchangedFor("/s/a.mov", identity);
    fTracker.unchangedFor("/s/b.mov", identity);
    fTracker.endCompletePass();
    fNow += 5s;
    fTracker.beginPass();
    EXPECT_EQ(fTracker.unchangedFor("/s/a.mov", identity), 5s);
    fTracker.beginPass(); // a pass that stopped at a photo forgets nothing
    fTracker.beginPass();
    fTracker.unchangedFor("/s/a.mov", identity);
    fTracker.endCompletePass();
    EXPECT_EQ(fTracker.size(), 1u);
    EXPECT_EQ(fTracker.unchangedFor("/s/b.mov", identity), Clock::duration::zero()) << "b was filed and came back";
}

TEST(ScanWakeupTest, ASingleTimerServesTheEarliestMomentAskedFor)
{
    std::atomic<int> scans{0};
    ScanWakeup wakeup([&] { ++scans; });
    EXPECT_FALSE(wakeup.nextWake());
    wakeup.wakeAfter(1h);
    const auto late = *wakeup.nextWake();
    // Asked from a scan thread for a sooner moment: that one wins.
    std::thread([&] { wakeup.wakeAfter(30ms); }).join();
    EXPECT_LT(*wakeup.nextWake(), late);
    wakeup.wakeAfter(2h); // later than what is due: changes nothing
    EXPECT_LT(*wakeup.nextWake(), late);
    EXPECT_TRUE(waitFor([&] { return scans.load() == 1; }, 5s));
    EXPECT_FALSE(wakeup.nextWake()) << "one request per moment";

    // Armed again after it fired.
    wakeup.wakeAfter(10ms);
    EXPECT_TRUE(waitFor([&] { return scans.load() == 2; }, 5s));
}

TEST(ScanWakeupTest, NothingFiresAfterItIsGone)
{
    std::atomic<int> scans{0};
    {
        ScanWakeup wakeup([&] { ++scans; });
        wakeup.wakeAfter(0ms);
    }
    waitFor([] { return false; }, 100ms);
    EXPECT_EQ(scans.load(), 0);
}
