#include "filing/PhotoRetryPausesFile.h"

#include "filing/PhotoRetryPauses.h"
#include "platform/PropertyList.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

using namespace std::chrono_literals;
using Clock = PhotoRetryPauses::Clock;

class PhotoRetryPausesFileTest : public SandboxedTest {
protected:
    std::string photo(const std::string& name)
    {
        const std::string path = fSandbox.file("Source/" + name);
        TestSupport::createFileWithContents(path, "jpeg bytes of " + name);
        return path;
    }
    std::string statePath() const { return fSandbox.file("state/" + std::string(PhotoRetryPausesFile::kFileName)); }

    TestSupport::LogCapture fLog;
};

TEST_F(PhotoRetryPausesFileTest, PausesAndCutOffsSurviveWriteAndReadAndGonePhotosAreDropped)
{
    const std::string stalls = photo("Adams/IMG_1.jpg");
    const std::string onceCut = photo("Adams/IMG_2.jpg");
    const std::string refused = photo("Brown/IMG_3.jpg");
    const std::string gone = photo("Brown/IMG_4.jpg");
    PhotoRetryPausesFile file(PhotoRetryPausesFile::pathBeside(fSandbox.file("state/acceptance-journal.txt")));
    ASSERT_EQ(file.path(), statePath());

    PhotoRetryPauses pauses;
    pauses.setChangeListener([&] { file.save(pauses); });
    pauses.cutOffByWatchdog(stalls);
    pauses.cutOffByWatchdog(stalls);
    pauses.cutOffByWatchdog(stalls); // 2 s
    pauses.cutOffByWatchdog(onceCut);
    pauses.sendFailed(refused);
    pauses.cutOffByWatchdog(gone);
    pauses.cutOffByWatchdog(gone);
    std::filesystem::remove(gone);

    struct stat st { };
    ASSERT_EQ(::stat(statePath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    size_t entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(fSandbox.file("state"))) {
        ++entries;
        EXPECT_EQ(entry.path().filename(), PhotoRetryPausesFile::kFileName) << "no temporary file left";
    }
    EXPECT_EQ(entries, 1u);

    // The next process, on a steady clock of its own.
    PhotoRetryPauses next;
    Clock::time_point now = Clock::time_point(3h);
    next.setClock([&] { return now; });
    PhotoRetryPausesFile reread(statePath());
    EXPECT_EQ(reread.load(next), 3u);
    EXPECT_EQ(next.cutOffsInARow(stalls), 3);
    const auto waits = next.mayBeSentNow(stalls);
    EXPECT_FALSE(waits.maySend) << "sent at once after the relaunch";
    EXPECT_GT(waits.wait, Clock::duration(1s));
    EXPECT_LE(waits.wait, Clock::duration(2s));
    EXPECT_NE(waits.reason.find("cut off by the watchdog again"), std::string::npos);
    EXPECT_EQ(next.cutOffsInARow(onceCut), 1) << "one cut-off is remembered, so the next one pauses";
    EXPECT_TRUE(next.mayBeSentNow(onceCut).maySend);
    EXPECT_EQ(*next.cutOffByWatchdog(onceCut).pause, Clock::duration(1s));
    EXPECT_FALSE(next.mayBeSentNow(refused).maySend);
    EXPECT_EQ(next.cutOffsInARow(gone), 0);
    EXPECT_TRUE(next.mayBeSentNow(gone).maySend);
    EXPECT_TRUE(fLog.contains("1 photo(s) gone meanwhile were dropped"));
    // The relaunched station starts sending later still: the pause is spent from then, whole.
    now += 5s;
    next.restartWatchdogPauses();
    EXPECT_EQ(next.mayBeSentNow(stalls).wait, Clock::duration(2s));
    EXPECT_TRUE(next.mayBeSentNow(refused).maySend) << "a refusal's pause keeps its own time";
    now += 2s;
    EXPECT_TRUE(next.mayBeSentNow(stalls).maySend);
    EXPECT_EQ(*next.cutOffByWatchdog(stalls).pause, Clock::duration(4s)) << "the pause goes on growing";
}

TEST_F(PhotoRetryPausesFileTest, ATornOrGarbageFileIsIgnoredWithALogLine)
{
    const std::string stalls = photo("Adams/IMG_1.jpg");
    PhotoRetryPauses pauses;
    PhotoRetryPausesFile file(statePath());
    pauses.cutOffByWatchdog(stalls);
    pauses.cutOffByWatchdog(stalls);
    ASSERT_TRUE(file.save(pauses));
    const std::string whole = TestSupport::readWholeFile(statePath());
    ASSERT_GT(whole.size(), 100u);

    const std::vector<std::string> bad = {
        whole.substr(0, whole.size() / 2),
        std::string("\x00\xff\x13 garbage \x89PNG", 15),
        "",
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>path</key><string>x</string></dict></plist>",
        "bplist00",
    };
    for (const std::string& contents : bad) {
        TestSupport::createFileWithContents(statePath(), contents);
        PhotoRetryPauses next;
        next.sendFailed("/left/from/before.jpg");
        fLog.clear();
        EXPECT_EQ(file.load(next), 0u) << contents.size();
        EXPECT_EQ(next.size(), 0u);
        EXPECT_TRUE(next.mayBeSentNow(stalls).maySend);
        EXPECT_TRUE(fLog.contains("cannot be read")) << contents.size();
    }

    // Entries of the wrong kind inside a list are skipped one by one.
    PlistValue::Array mixed = *pauses.toPlist().asArray();
    mixed.push_back(PlistValue::string("junk"));
    mixed.push_back(
        PlistValue::dictionary({{"path", PlistValue::integer(7)}, {"watchdogCutOffs", PlistValue::integer(3)}}));
    mixed.push_back(PlistValue::dictionary(
        {{"path", PlistValue::string(stalls + ".missing")}, {"watchdogCutOffs", PlistValue::string("many")}}));
    TestSupport::createFileWithContents(statePath(), PropertyList::toXml(PlistValue::array(mixed)));
    PhotoRetryPauses next;
    EXPECT_EQ(file.load(next), 1u);
    EXPECT_EQ(next.cutOffsInARow(stalls), 2);
    EXPECT_FALSE(next.mayBeSentNow(stalls).maySend);

    // No file at all, but the half-written copy of a station killed while writing it.
    std::filesystem::remove(statePath());
    TestSupport::createFileWithContents(statePath() + ".Ab12Cd", whole.substr(0, 40));
    fLog.clear();
    EXPECT_EQ(file.load(next), 0u);
    EXPECT_EQ(next.size(), 0u);
    EXPECT_FALSE(fLog.contains("cannot be read"));
    EXPECT_FALSE(std::filesystem::exists(statePath() + ".Ab12Cd"));
}
