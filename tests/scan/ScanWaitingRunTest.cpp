// A folder of waiting photos is passed over as a whole while no change note
// names any of them: every change that could make one of them ready must
// still be seen at the very next pass, and the operator must be told exactly
// what a walk photo by photo would tell.
#include "ScanChangeWatchFixture.h"

#include "filing/PhotoRetryPauses.h"
#include "scan/NotReadyReport.h"
#include "scan/SettleTracker.h"

namespace {

const char* const kWaiting[] = {"A_1.jpg", "A_2.jpg", "A_3.jpg", "A_4.jpg", "A_5.jpg", "A_6.jpg"};

} // namespace

class ScanWaitingRunTest : public ScanChangeWatchPassTest {
protected:
    // Six photos in Smith, each waiting on what its bytes say.
    void fillWith(const std::string& bytes)
    {
        for (const char* name : kWaiting)
            write(std::string("Smith/") + name, bytes);
    }
    // Passes until the folder is passed over as a whole.
    void settleIntoARun()
    {
        const uint64_t before = cache().passedOver();
        for (int i = 0; i < 3; ++i)
            ASSERT_EQ(chosen(), "(none)");
        ASSERT_GT(cache().passedOver(), before) << "the waiting photos were never passed over as a whole";
    }
    std::string reasonFor(const std::string& relative)
    {
        for (const NotReadyReport::Entry& entry : fController->notReadyReport().entries(100))
            if (entry.path == file(relative))
                return entry.reason;
        return "(not reported)";
    }
    PlistValue metaNaming(const std::string& muxedMovie)
    {
        return PlistValue::dictionary({{"OriginalPath", PlistValue::string("/Volumes/Station/IMG_1.JPG")},
                                       {"ZV_muxedMovieName", PlistValue::string(muxedMovie)}});
    }
    const std::string fGood = jpegBytes(simpleMeta());
    const std::string fSpoiled = spoiled(fGood);
};

TEST_F(ScanWaitingRunTest, APhotoWrittenInPlaceInsideTheRunIsTakenAtTheNextPass)
{
    fillWith(fSpoiled);
    settleIntoARun();
    write("Smith/A_3.jpg", fGood);
    EXPECT_EQ(chosen(), "Smith/A_3.jpg");
}

TEST_F(ScanWaitingRunTest, APhotoReplacedByARenameIsTakenAtTheNextPass)
{
    fillWith(fSpoiled);
    settleIntoARun();
    write("Smith/.A_4.jpg.part", fGood);
    fs::rename(file("Smith/.A_4.jpg.part"), file("Smith/A_4.jpg"));
    EXPECT_EQ(chosen(), "Smith/A_4.jpg");
}

TEST_F(ScanWaitingRunTest, APhotoRenamedIntoTheRunIsTakenAndOneRenamedAwayIsReportedUnderItsNewName)
{
    fillWith(fSpoiled);
    settleIntoARun();
    createFileWithContents(fSandbox.file("Staging/A_3b.jpg"), fGood);
    fs::rename(fSandbox.file("Staging/A_3b.jpg"), file("Smith/A_3b.jpg"));
    EXPECT_EQ(chosen(), "Smith/A_3b.jpg");
    fs::remove(file("Smith/A_3b.jpg"));
    settleIntoARun();

    fs::rename(file("Smith/A_5.jpg"), file("Smith/B_5.jpg"));
    EXPECT_EQ(chosen(), "(none)");
    EXPECT_EQ(reasonFor("Smith/A_5.jpg"), "(not reported)");
    EXPECT_EQ(reasonFor("Smith/B_5.jpg"), "no embedded metadata");
    EXPECT_EQ(fController->notReadyReport().count(), 6u);
}

TEST_F(ScanWaitingRunTest, ItsMovieArrivingIsSeenAtTheNextPass)
{
    store().setBool(PrefKey::UploadMovie, true);
    auto steady = SettleTracker::Clock::now();
    fController->settleTracker().setClock([&steady] { return steady; });
    fillWith(fGood);
    settleIntoARun();
    EXPECT_EQ(reasonFor("Smith/A_3.jpg"), "waiting for its movie");
    write("Smith/A_3.MOV", "movie");
    EXPECT_EQ(chosen(), "(none)");
    EXPECT_EQ(reasonFor("Smith/A_3.jpg"), "its movie is still being written");
    steady += std::chrono::seconds(3);
    EXPECT_EQ(chosen(), "Smith/A_3.jpg");
}

TEST_F(ScanWaitingRunTest, ItsMuxedMovieArrivingIsSeenAtTheNextPass)
{
    auto steady = SettleTracker::Clock::now();
    fController->settleTracker().setClock([&steady] { return steady; });
    for (const char* name : kWaiting)
        write(std::string("Smith/") + name, jpegBytes(metaNaming(std::string("M_") + name + ".mov")));
    settleIntoARun();
    EXPECT_EQ(reasonFor("Smith/A_2.jpg"), "waiting for its muxed movie");
    write("Smith/M_A_2.jpg.mov", "movie");
    EXPECT_EQ(chosen(), "(none)");
    EXPECT_EQ(reasonFor("Smith/A_2.jpg"), "its muxed movie is still being written");
    steady += std::chrono::seconds(3);
    EXPECT_EQ(chosen(), "Smith/A_2.jpg");
}

TEST_F(ScanWaitingRunTest, APauseEndingBetweenTwoRunsIsSeenAtTheNextPass)
{
    auto steady = PhotoRetryPauses::Clock::now();
    fController->photoRetryPauses().setClock([&steady] { return steady; });
    fillWith(fSpoiled);
    write("Smith/A_3.jpg", fGood);
    fController->photoRetryPauses().sendFailed(file("Smith/A_3.jpg"));
    settleIntoARun();
    EXPECT_NE(reasonFor("Smith/A_3.jpg").find("not taken by the web service"), std::string::npos);
    steady += std::chrono::seconds(2);
    EXPECT_EQ(chosen(), "Smith/A_3.jpg");
}

TEST_F(ScanWaitingRunTest, APauseGivenToAPhotoInsideARunIsToldAtTheNextPass)
{
    fillWith(fSpoiled);
    settleIntoARun();
    fController->photoRetryPauses().sendFailed(file("Smith/A_2.jpg"));
    EXPECT_EQ(chosen(), "(none)");
    EXPECT_NE(reasonFor("Smith/A_2.jpg").find("not taken by the web service"), std::string::npos);
}

TEST_F(ScanWaitingRunTest, TheSettingsChangingAreSeenAtTheNextPass)
{
    fillWith(fSpoiled);
    settleIntoARun();
    // This login may send photos without their block.
    store().setString(PrefKey::UserLoginName, "sorumaki");
    EXPECT_EQ(chosen(), "Smith/A_1.jpg");

    store().setString(PrefKey::UserLoginName, "kiosk7");
    store().setBool(PrefKey::UploadMovie, true);
    fillWith(fGood);
    settleIntoARun();
    store().setBool(PrefKey::UploadMovie, false);
    EXPECT_EQ(chosen(), "Smith/A_1.jpg");
}

TEST_F(ScanWaitingRunTest, TheOperatorIsToldTheSameAsByAWalkPhotoByPhoto)
{
    fillWith(fSpoiled);
    write("Smith/A_1.mov", "movie");
    write("Smith/.DS_Store", "x");
    write("Root_1.jpg", fSpoiled);
    EXPECT_EQ(chosen(), "(none)");
    EXPECT_EQ(fLog.count("Not ready for upload yet"), 7u);
    EXPECT_EQ(fLog.count("Root Item ["), 1u);
    const std::string summary =
        "7 photos wait in the source folder: 6 no embedded metadata, 1 lies directly in the source folder";
    EXPECT_EQ(fController->notReadyReport().summary(), summary);
    settleIntoARun();
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(chosen(), "(none)");
    EXPECT_EQ(fLog.count("Not ready for upload yet"), 7u) << "each photo is told once";
    EXPECT_EQ(fLog.count("Root Item ["), 9u) << "a file in the source folder itself is told at every pass";
    EXPECT_EQ(fLog.count(summary), 9u) << "every pass that found nothing names the waiting photos";
    // Complete passes that passed over the run keep every photo in the report.
    EXPECT_EQ(fController->notReadyReport().count(), 7u);
    EXPECT_EQ(fController->notReadyReport().summary(), summary);
    EXPECT_EQ(cache().size(), 6u) << "what the photos' bytes said is still remembered";

    // The run's photos, gone, leave the report at the next complete pass.
    fs::remove(file("Smith/A_2.jpg"));
    fs::remove(file("Smith/A_5.jpg"));
    EXPECT_EQ(chosen(), "(none)");
    EXPECT_EQ(fController->notReadyReport().count(), 5u);
    EXPECT_EQ(fLog.count("Not ready for upload yet"), 7u);
}

TEST_F(ScanWaitingRunTest, ThePhotosBehindARunAreTakenInOrderWithTheRunPassedOver)
{
    fillWith(fSpoiled);
    for (int i = 1; i <= 3; ++i)
        write("Smith/B_" + std::to_string(i) + ".jpg", fGood);
    EXPECT_EQ(chosen(), "Smith/B_1.jpg");
    const uint64_t before = cache().passedOver();
    for (int i = 1; i <= 3; ++i) {
        // Filed, as the chain does after the upload.
        if (i > 1)
            EXPECT_EQ(chosen(), "Smith/B_" + std::to_string(i) + ".jpg");
        fs::remove(file("Smith/B_" + std::to_string(i) + ".jpg"));
    }
    EXPECT_EQ(chosen(), "(none)");
    EXPECT_GE(cache().passedOver(), before + 3 * std::size(kWaiting));
    EXPECT_EQ(fLog.count("Not ready for upload yet"), 6u);
}

TEST_F(ScanWaitingRunTest, TheFullCheckStillLooksAtEveryPhoto)
{
    // A write through another name of the file leaves no note in the source.
    for (const char* name : kWaiting)
        createFileWithContents(fSandbox.file(std::string("Staging/") + name), fSpoiled);
    for (const char* name : kWaiting)
        ASSERT_EQ(::link(fSandbox.file(std::string("Staging/") + name).c_str(),
                         file(std::string("Smith/") + name).c_str()),
                  0);
    settleIntoARun();
    const int fd = ::open(fSandbox.file("Staging/A_4.jpg").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, fGood.data(), fGood.size(), 0), static_cast<ssize_t>(fGood.size()));
    ::close(fd);
    EXPECT_EQ(chosen(), "(none)") << "within the second, taken as it was";
    aSecondLater();
    EXPECT_EQ(chosen(), "Smith/A_4.jpg");
}
