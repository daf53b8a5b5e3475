// What a station killed after the service's answer finds at its next start:
// each photo is filed as the answer decided, never sent a second time, its
// movie beside it, and never in two places.

#include "filing/AcceptedPhotoFiling.h"
#include "scan/UploadItemInfo.h"

#include "StationFixture.h"

using TestSupport::createFileWithContents;
using TestSupport::readWholeFile;
using TestSupport::waitFor;
namespace fs = std::filesystem;
using Destination = AcceptanceJournal::Destination;
using Field = StatusPresenter::Field;

class CrashConsistentFilingTest : public StationFixture {
protected:
    // What the station writes when the answer comes, before its first move.
    AcceptanceJournal::Record answered(const std::string& relative, Destination where)
    {
        UploadItemInfo item;
        item.localRootFolder = source();
        item.localItem = relative;
        const std::string root = where == Destination::MirrorSiteFolder ? mirror() : fSandbox.file("Problem Folder");
        auto record = AcceptedPhotoFiling::recordFor(item, where, root);
        EXPECT_TRUE(record);
        EXPECT_TRUE(AcceptanceJournal::shared().recordAcceptance(*record));
        return *record;
    }
    // The kill: the journal is read again by the next start.
    void restartJournal()
    {
        AcceptanceJournal::shared().close();
        ASSERT_TRUE(AcceptanceJournal::shared().open(journalPath()));
    }
};

TEST_F(CrashConsistentFilingTest, AnAnsweredPhotoIsFiledAtTheNextStartWithoutBeingSentAgain)
{
    const std::string bytes = readWholeFile(photo("Adams/IMG_1.jpg"));
    createFileWithContents(source() + "/Adams/IMG_1.mov", "movie one");
    photo("Adams/IMG_2.jpg");
    answered("Adams/IMG_1.jpg", Destination::MirrorSiteFolder);
    restartJournal();

    startStation();
    synchronize();
    ASSERT_TRUE(waitFor([&] { return fs::exists(mirror() + "/Adams/IMG_2.jpg") && idle(); }, std::chrono::seconds(20)));
    EXPECT_EQ(readWholeFile(mirror() + "/Adams/IMG_1.jpg"), bytes);
    EXPECT_EQ(readWholeFile(mirror() + "/Adams/IMG_1.mov"), "movie one");
    EXPECT_FALSE(fs::exists(source() + "/Adams/IMG_1.jpg"));
    EXPECT_FALSE(fs::exists(source() + "/Adams/IMG_1.mov"));
    EXPECT_EQ(received().count("IMG_1.jpg"), 0u) << "answered once: never sent again";
    EXPECT_EQ(received()["IMG_2.jpg"], 1);
    EXPECT_TRUE(AcceptanceJournal::shared().pending().empty());
}

TEST_F(CrashConsistentFilingTest, AMovieLeftBehindBetweenTheTwoMovesFollowsItsPhoto)
{
    photo("Adams/IMG_1.jpg");
    createFileWithContents(source() + "/Adams/IMG_1_muxed.mov", "muxed movie");
    answered("Adams/IMG_1.jpg", Destination::MirrorSiteFolder);
    // The kill came after the photo's move.
    fs::create_directories(mirror() + "/Adams");
    fs::rename(source() + "/Adams/IMG_1.jpg", mirror() + "/Adams/IMG_1.jpg");
    restartJournal();

    startStation();
    synchronize();
    ASSERT_TRUE(waitFor([&] { return fs::exists(mirror() + "/Adams/IMG_1_muxed.mov") && idle(); },
                        std::chrono::seconds(20)));
    EXPECT_EQ(readWholeFile(mirror() + "/Adams/IMG_1_muxed.mov"), "muxed movie");
    EXPECT_FALSE(fs::exists(source() + "/Adams/IMG_1_muxed.mov"));
    EXPECT_EQ(fServer->requestCount(), 0u);
    EXPECT_TRUE(AcceptanceJournal::shared().pending().empty());
}

TEST_F(CrashConsistentFilingTest, ACopyLeftByAnInterruptedMoveToAnotherDiskIsNotFiledTwice)
{
    const std::string bytes = readWholeFile(photo("Adams/IMG_1.jpg"));
    answered("Adams/IMG_1.jpg", Destination::ProblemFolder);
    // The copy reached the Problem Folder; the kill came before the source was removed.
    createFileWithContents(problem("Adams/IMG_1.jpg"), bytes);
    restartJournal();

    startStation();
    synchronize();
    ASSERT_TRUE(waitFor([&] { return !fs::exists(source() + "/Adams/IMG_1.jpg") && idle(); }, std::chrono::seconds(20)));
    EXPECT_EQ(readWholeFile(problem("Adams/IMG_1.jpg")), bytes);
    size_t inProblemFolder = 0;
    for (const auto& entry : fs::directory_iterator(problem("Adams")))
        inProblemFolder += entry.is_regular_file();
    EXPECT_EQ(inProblemFolder, 1u) << "no second, time-stamped copy";
    EXPECT_EQ(fServer->requestCount(), 0u);
}

TEST_F(CrashConsistentFilingTest, ACopyAlreadyUnderATimeStampedNameIsRecognised)
{
    const std::string bytes = readWholeFile(photo("Adams/IMG_1.jpg"));
    // An earlier photo of that name was refused before; this one's copy got the stamped name.
    createFileWithContents(problem("Adams/IMG_1.jpg"), "the earlier photo");
    createFileWithContents(problem("Adams/IMG_1 20261206_101010.jpg"), bytes);
    answered("Adams/IMG_1.jpg", Destination::ProblemFolder);
    restartJournal();

    startStation();
    synchronize();
    ASSERT_TRUE(waitFor([&] { return !fs::exists(source() + "/Adams/IMG_1.jpg") && idle(); }, std::chrono::seconds(20)));
    size_t inProblemFolder = 0;
    for (const auto& entry : fs::directory_iterator(problem("Adams")))
        inProblemFolder += entry.is_regular_file();
    EXPECT_EQ(inProblemFolder, 2u);
    EXPECT_EQ(readWholeFile(problem("Adams/IMG_1.jpg")), "the earlier photo");
}

TEST_F(CrashConsistentFilingTest, ANewPhotoUnderAFiledNameIsSentAndItsRecordDropped)
{
    photo("Adams/IMG_1.jpg");
    const auto record = answered("Adams/IMG_1.jpg", Destination::MirrorSiteFolder);
    fs::create_directories(mirror() + "/Adams");
    fs::rename(source() + "/Adams/IMG_1.jpg", mirror() + "/Adams/IMG_1.jpg");
    // The station drops another photo under the same name, later.
    PhotoWriter::PhotoSpec recipe;
    recipe.metaData = PlistValue::dictionary({{"OriginalPath", PlistValue::string("/o/second")}});
    ASSERT_TRUE(PhotoWriter::writePhoto(source() + "/Adams/IMG_1.jpg", recipe));
    restartJournal();

    startStation();
    synchronize();
    ASSERT_TRUE(waitFor([&] { return fServer->requestCount() == 1 && idle(); }, std::chrono::seconds(20)));
    EXPECT_FALSE(fs::exists(source() + "/Adams/IMG_1.jpg"));
    EXPECT_TRUE(AcceptanceJournal::shared().pending().empty());
}

TEST_F(CrashConsistentFilingTest, EveryRecordIsDroppedOnceAllIsFiled)
{
    photo("Adams/IMG_1.jpg");
    photo("Adams/IMG_2.jpg");
    createFileWithContents(source() + "/Adams/IMG_2.mov", "movie two");
    RefBehaviour refused;
    refused.http = 500;
    fServer->script({{}, refused});
    startStation();
    synchronize();
    ASSERT_TRUE(waitFor([&] { return fs::exists(problem("Adams/IMG_2.mov")) && idle(); }, std::chrono::seconds(20)));
    EXPECT_TRUE(fs::exists(mirror() + "/Adams/IMG_1.jpg"));
    EXPECT_TRUE(AcceptanceJournal::shared().pending().empty());
    EXPECT_TRUE(fLog.contains("Accepted [" + source() + "/Adams/IMG_2.jpg]: the answer files it into the Problem Folder"));
}

TEST_F(CrashConsistentFilingTest, AReplayedFilingKeepsADifferentOlderPhotoInTheMirrorWithItsMovie)
{
    const std::string bytes = readWholeFile(photo("Adams/IMG_1.jpg"));
    createFileWithContents(source() + "/Adams/IMG_1.mov", "new movie");
    // A camera whose counter started again: the archive already holds another IMG_1.
    createFileWithContents(mirror() + "/Adams/IMG_1.jpg", "the older photo");
    createFileWithContents(mirror() + "/Adams/IMG_1.mov", "the older movie");
    answered("Adams/IMG_1.jpg", Destination::MirrorSiteFolder);
    restartJournal();

    startStation();
    synchronize();
    ASSERT_TRUE(waitFor([&] { return !fs::exists(source() + "/Adams/IMG_1.mov") && idle(); }, std::chrono::seconds(20)));
    EXPECT_EQ(readWholeFile(mirror() + "/Adams/IMG_1.jpg"), bytes);
    EXPECT_EQ(readWholeFile(mirror() + "/Adams/IMG_1.mov"), "new movie");
    std::string olderPhoto, olderMovie;
    for (const auto& entry : fs::directory_iterator(mirror() + "/Adams")) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with("IMG_1 ") && name.ends_with(".jpg"))
            olderPhoto = name;
        if (name.starts_with("IMG_1 ") && name.ends_with(".mov"))
            olderMovie = name;
    }
    ASSERT_FALSE(olderPhoto.empty()) << "the older photo is kept under a time-stamped name";
    EXPECT_EQ(readWholeFile(mirror() + "/Adams/" + olderPhoto), "the older photo");
    EXPECT_EQ(olderMovie, fs::path(olderPhoto).stem().string() + ".mov") << "its movie keeps the same stamp";
    EXPECT_EQ(fServer->requestCount(), 0u);
    EXPECT_TRUE(AcceptanceJournal::shared().pending().empty());
}

TEST_F(CrashConsistentFilingTest, AnAcceptedPhotoThatCannotBeFiledStaysInTheJournalUntilItsRetriedMoveWorks)
{
    const std::string bytes = readWholeFile(photo("Adams/IMG_1.jpg"));
    // A file where the client folder should be stops the move.
    createFileWithContents(mirror() + "/Adams", "in the way");
    startStation();
    synchronize();
    ASSERT_TRUE(waitFor([&] { return fServer->requestCount() == 1 && idle(); }, std::chrono::seconds(20)));
    ASSERT_TRUE(waitFor([&] { return AcceptanceJournal::shared().pending().size() == 1; }, std::chrono::seconds(10)));
    EXPECT_TRUE(AcceptanceJournal::shared().pendingFor(source() + "/Adams/IMG_1.jpg"));

    // The kill: the next start still knows the photo was answered.
    stopStation();
    restartJournal();
    fs::remove(mirror() + "/Adams");
    startStation();
    synchronize();
    ASSERT_TRUE(waitFor([&] { return fs::exists(mirror() + "/Adams/IMG_1.jpg") && idle(); }, std::chrono::seconds(20)));
    EXPECT_EQ(readWholeFile(mirror() + "/Adams/IMG_1.jpg"), bytes);
    EXPECT_EQ(fServer->requestCount(), 1u) << "answered once: never sent again";
    EXPECT_TRUE(AcceptanceJournal::shared().pending().empty());
}
