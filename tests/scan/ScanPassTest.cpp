#include "ScanPassRunner.h"
#include "scan/ScanPass.h"
#include "app/AppController.h"
#include "app/Notifications.h"
#include "app/ProcessFlags.h"
#include "app/ScanRequestInfo.h"
#include "mkphoto/PhotoWriter.h"
#include "platform/UserDefaults.h"
#include "prefs/PreferenceKeys.h"
#include "scan/SettleTracker.h"
#include "scan/UploadItemInfo.h"

#include "../app/RecordingPresenter.h"
#include "TestSupport.h"

#include <filesystem>
#include <regex>

using TestSupport::createFileWithContents;
using TestSupport::waitFor;
namespace fs = std::filesystem;

// A scan pass run directly on the test's thread against a real folder tree.
class ScanPassTest : public StoreSandboxTest {
protected:
    void SetUp() override
    {
        StoreSandboxTest::SetUp();
        resetProcessFlags();
        ScanPass::resetDoQuarnel();
        storeStation(source(), mirror());
        store().setString(PrefKey::OrvFuseAction, "upload.upload");
        store().setBool(PrefKey::UploadMovie, false);
        store().setBool(PrefKey::AutoSynchronize, false);
        fController = std::make_unique<AppController>(fPresenter, fCenter);
        // Files settle on the test's clock, which moves only when told to.
        fController->settleTracker().setClock([this] { return fNow; });
        fCenter.addObserver(this, cNotification_PrepareUploadStart,
                            [this](const Notification& n) { fItems.push_back(*n.info<UploadItemInfo>()); });
        fCenter.addObserver(this, cNotification_CleanUpAfterCompleteLoop,
                            [this](const Notification&) { ++fEmptyPasses; });
    }
    void TearDown() override
    {
        fController.reset();
        resetProcessFlags();
        StoreSandboxTest::TearDown();
    }

    // One pass; returns the chosen item, if any.
    std::optional<UploadItemInfo> pass()
    {
        fItems.clear();
        ScanPassRunner::runPass(*fController, source(), mirror());
        EXPECT_FALSE(gIsScanning) << "every pass clears its flag";
        resetProcessFlags();
        if (fItems.empty())
            return std::nullopt;
        EXPECT_EQ(fItems.size(), 1u);
        return fItems.front();
    }
    std::string photo(const std::string& relative, std::optional<PlistValue> meta = PlistValue::dictionary(),
                      PhotoWriter::Format format = PhotoWriter::Format::Jpeg)
    {
        PhotoWriter::PhotoSpec recipe;
        recipe.format = format;
        recipe.metaData = std::move(meta);
        const std::string path = source() + "/" + relative;
        fs::create_directories(fs::path(path).parent_path());
        std::string error;
        EXPECT_TRUE(PhotoWriter::writePhoto(path, recipe, &error)) << error;
        return path;
    }
    std::string chosen()
    {
        auto item = pass();
        return item ? item->localItem : std::string("(none)");
    }

    UserDefaults& store() { return UserDefaults::standard(); }
    std::string source() const { return fSandbox.file("Source"); }
    std::string mirror() const { return fSandbox.file("Mirror"); }

    RecordingPresenter fPresenter;
    NotificationCenter fCenter;
    std::unique_ptr<AppController> fController;
    std::vector<UploadItemInfo> fItems;
    int fEmptyPasses = 0;
    SettleTracker::Clock::time_point fNow{std::chrono::hours(1)};
    TestSupport::LogCapture fLog;
};

TEST_F(ScanPassTest, PicksTheFirstReadyPhotoInNameOrderAndMirrorsFolders)
{
    photo("Adams/IMG_0002.jpg");
    photo("Adams/IMG_0001.jpg", std::nullopt); // not ready: no metadata
    photo("adams2/img_0001.jpg");
    photo("Adams/IMG_0003.png", PlistValue::dictionary(), PhotoWriter::Format::Png);
    createFileWithContents(source() + "/Adams/.DS_Store", "x");
    createFileWithContents(source() + "/Adams/.IMG_0000.jpg", "x");
    photo("root.jpg");
    photo(".hidden/Zed/IMG_9.jpg");

    // Hidden folders are scanned too.
    EXPECT_EQ(chosen(), ".hidden/Zed/IMG_9.jpg");
    fs::remove(source() + "/.hidden/Zed/IMG_9.jpg");

    EXPECT_EQ(chosen(), "Adams/IMG_0002.jpg");
    EXPECT_TRUE(fs::is_directory(mirror() + "/Adams"));
    EXPECT_TRUE(fs::is_directory(mirror() + "/.hidden/Zed"));
    fs::remove(source() + "/Adams/IMG_0002.jpg");
    EXPECT_EQ(chosen(), "Adams/IMG_0003.png");
    fs::remove(source() + "/Adams/IMG_0003.png");
    EXPECT_EQ(chosen(), "adams2/img_0001.jpg") << "case-insensitive folder order";
    fs::remove(source() + "/adams2/img_0001.jpg");
    EXPECT_FALSE(pass());
    EXPECT_TRUE(fLog.contains("Root Item [root.jpg] May NOT be Uploaded!!!!!"));
    EXPECT_EQ(fEmptyPasses, 1);
}

TEST_F(ScanPassTest, NameTiesAreBrokenByExactName)
{
    photo("C/img_1.jpg");
    photo("C/IMG_1.JPG");
    photo("C/b.jpg");
    EXPECT_EQ(chosen(), "C/b.jpg");
    fs::remove(source() + "/C/b.jpg");
    EXPECT_EQ(chosen(), "C/IMG_1.JPG");
}

TEST_F(ScanPassTest, MoviesAreCompanionsNeverItems)
{
    photo("Smith/IMG_1.jpg");
    createFileWithContents(source() + "/Smith/A.mov", "movie");
    createFileWithContents(source() + "/Smith/IMG_0.MOV", "movie");
    EXPECT_EQ(chosen(), "Smith/IMG_1.jpg");

    // With movies on, a photo waits for its movie, whatever the case of its
    // extension, until the movie has stayed unchanged for 2 s.
    store().setBool(PrefKey::UploadMovie, true);
    EXPECT_FALSE(pass());
    createFileWithContents(source() + "/Smith/IMG_1.MOV", "movie");
    EXPECT_FALSE(pass()) << "a movie just arrived may still be growing";
    fNow += std::chrono::milliseconds(1999);
    EXPECT_FALSE(pass());
    fNow += std::chrono::milliseconds(1);
    EXPECT_EQ(chosen(), "Smith/IMG_1.jpg");
    createFileWithContents(source() + "/Smith/IMG_1.MOV", "movie, longer");
    EXPECT_FALSE(pass()) << "it grew: the 2 s start again";
    fNow += std::chrono::seconds(2);
    EXPECT_EQ(chosen(), "Smith/IMG_1.jpg");

    // A muxed movie named in the block must exist and have settled, whatever the setting.
    store().setBool(PrefKey::UploadMovie, false);
    fs::remove(source() + "/Smith/IMG_1.jpg");
    photo("Smith/IMG_2.jpg", PlistValue::dictionary({{"ZV_muxedMovieName", PlistValue::string("IMG_2_muxed.mov")}}));
    EXPECT_FALSE(pass());
    createFileWithContents(source() + "/Smith/IMG_2_muxed.mov", "movie");
    EXPECT_FALSE(pass());
    fNow += std::chrono::seconds(2);
    auto item = pass();
    ASSERT_TRUE(item);
    EXPECT_EQ(item->edMuxedMovieName, source() + "/Smith/IMG_2_muxed.mov");
}

TEST_F(ScanPassTest, SomeLoginsMayUploadWithoutMetaData)
{
    createFileWithContents(source() + "/Smith/notes.txt", "not even an image");
    EXPECT_FALSE(pass());
    store().setString(PrefKey::UserLoginName, "SoruMaki");
    // A file whose ending tells nothing is sent once it stayed unchanged for 2 s.
    fNow += std::chrono::seconds(2);
    auto item = pass();
    ASSERT_TRUE(item);
    EXPECT_EQ(item->localItem, "Smith/notes.txt");
    EXPECT_FALSE(item->edOriginalPath);
    EXPECT_FALSE(item->edSittingInfoDictionary);

    // The fernbridle login makes a sitting id from the file name.
    fs::remove(source() + "/Smith/notes.txt");
    photo("Smith/S-2002_03.jpg", std::nullopt);
    store().setString(PrefKey::UserLoginName, "FERNBRIDLE");
    item = pass();
    ASSERT_TRUE(item);
    ASSERT_TRUE(item->edSittingInfoDictionary);
    EXPECT_EQ(*item->edSittingInfoDictionary, PlistValue::dictionary({{"sittingid", PlistValue::string("S-2002")}}));
}

TEST_F(ScanPassTest, ClientNameRules)
{
    photo("Parent Folder/Smith_001.jpg");
    auto item = pass();
    ASSERT_TRUE(item);
    EXPECT_EQ(item->edClientName, "Parent Folder") << "upload.upload: the folder holding the photo";
    EXPECT_EQ(item->userEnteredClientName, "Parent Folder");
    EXPECT_FALSE(item->edEmails) << "no Exif read for upload.upload";

    store().setString(PrefKey::OrvFuseAction, "upload.pellam");
    item = pass();
    ASSERT_TRUE(item);
    EXPECT_EQ(item->edClientName, "Smith_001");
    EXPECT_EQ(item->edOrvFuseAction, "upload.pellam");

    store().setBool(PrefKey::FormBaseIdFromFileName, true);
    EXPECT_EQ(pass()->edClientName, "Smith");
    fs::remove(source() + "/Parent Folder/Smith_001.jpg");
    photo("Parent Folder/Jones 7.jpg");
    EXPECT_EQ(pass()->edClientName, "Jones");

    // With base ids from file names, photos in the source folder itself count
    // when they are images.
    fs::remove(source() + "/Parent Folder/Jones 7.jpg");
    createFileWithContents(source() + "/0-not-an-image.jpg", "text");
    photo("Root_9.jpg");
    EXPECT_EQ(chosen(), "Root_9.jpg");

    // Without a fuse action the last decision is kept.
    EXPECT_TRUE(ScanPass::doQuarnel());
    store().setString(PrefKey::OrvFuseAction, "upload.upload");
    pass();
    EXPECT_FALSE(ScanPass::doQuarnel());
    store().removeObject(PrefKey::OrvFuseAction);
    pass();
    EXPECT_FALSE(ScanPass::doQuarnel());
}

TEST_F(ScanPassTest, DescriptionComesFromTheSettingOrTheEventTable)
{
    photo("A/x.jpg");
    store().setString(PrefKey::OrvFuseAction, "upload.pellam");
    EXPECT_EQ(pass()->edMetaData, "From Pellam 2010 Event.");
    store().setString(PrefKey::OrvFuseAction, "upload.zudo");
    EXPECT_EQ(pass()->edMetaData, "From Halvo Brackfest 2011 Event.");
    store().setString(PrefKey::OrvFuseAction, "upload.wr5");
    EXPECT_EQ(pass()->edMetaData, "");
    store().setString(PrefKey::OrvFuseAction, "upload.Pellam");
    EXPECT_EQ(pass()->edMetaData, "") << "the table is case-sensitive";
    store().setString(PrefKey::OrvFuseAction, "upload.pellam");
    store().setString(PrefKey::MetaData, "");
    EXPECT_EQ(pass()->edMetaData, "");
    store().setString(PrefKey::MetaData, "Station 4");
    EXPECT_EQ(pass()->edMetaData, "Station 4");
    store().removeObject(PrefKey::OrvFuseAction);
    store().removeObject(PrefKey::MetaData);
    EXPECT_EQ(pass()->edOrvFuseAction, "upload.upload");
}

TEST_F(ScanPassTest, ItemCarriesTheBlocksFields)
{
    using D = PlistValue::Dictionary;
    PlistValue::Array emails;
    for (int i = 1; i <= 6; ++i)
        emails.push_back(PlistValue::string("p" + std::to_string(i) + "@example.org"));
    const PlistValue quandro = PlistValue::dictionary(D{{"email", PlistValue::string("q@example.org")}});
    const PlistValue sitting = PlistValue::dictionary(
        D{{"sittingid", PlistValue::string("S-1")}, {"capturetime", PlistValue::string("2010-09-12 14:33:10")}});
    photo("Smith/IMG_5.jpg",
          PlistValue::dictionary(D{{"ZV_emailsForUpload", PlistValue::array(emails)},
                                   {"ZV_quandroInfo", quandro},
                                   {"ZV_kioskStation", PlistValue::string("K-07")},
                                   {"OriginalPath", PlistValue::string("/orig/IMG_5.JPG")},
                                   {"SittingInfoDictionary", sitting}}));
    store().setString(PrefKey::OrvFuseAction, "upload.wr5");
    auto item = pass();
    ASSERT_TRUE(item);
    EXPECT_EQ(item->edEmails, "p1@example.org,p2@example.org,p3@example.org,p4@example.org");
    EXPECT_EQ(item->edQuandroInfo, quandro);
    EXPECT_EQ(item->edKioskStation, "K-07");
    EXPECT_EQ(item->edOriginalPath, "/orig/IMG_5.JPG");
    EXPECT_EQ(item->edSittingInfoDictionary, sitting);
    EXPECT_EQ(item->edCaptureTime, "2010-09-12 14:33:10");
    EXPECT_EQ(item->edUser, "kiosk7");
    EXPECT_EQ(item->edPasswd, "pw");
    EXPECT_EQ(item->edFileName, source() + "/Smith/IMG_5.jpg");
    EXPECT_EQ(item->edEventName, "Gala");
    EXPECT_EQ(item->localRootFolder, source());
    EXPECT_EQ(item->localMirrorFolder, mirror());

    // Without a sitting capture time the photo's own date is used.
    fs::remove(source() + "/Smith/IMG_5.jpg");
    PhotoWriter::PhotoSpec recipe;
    recipe.metaData = PlistValue::dictionary();
    recipe.dateTimeOriginal = "2011:05:17 02:30:00";
    ASSERT_TRUE(PhotoWriter::writePhoto(source() + "/Smith/IMG_6.jpg", recipe));
    EXPECT_EQ(pass()->edCaptureTime, "2011-05-17 02:30:00");
    fs::remove(source() + "/Smith/IMG_6.jpg");
    photo("Smith/IMG_7.png", PlistValue::dictionary(), PhotoWriter::Format::Png);
    EXPECT_TRUE(std::regex_match(pass()->edCaptureTime, std::regex(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})")));
}

TEST_F(ScanPassTest, AnEmptyFolderWaitsForNewImages)
{
    store().setBool(PrefKey::AutoSynchronize, true);
    EXPECT_FALSE(pass());
    EXPECT_EQ(fEmptyPasses, 1);
    EXPECT_TRUE(fLog.contains("No more images to upload..."));
    EXPECT_TRUE(fLog.contains("Scanning done - NO File found for uploading..."));
    EXPECT_TRUE(
        waitFor([&] { return fPresenter.field(StatusPresenter::Field::UploadStatus) == "Done With Iteration..."; }));
    EXPECT_TRUE(waitFor([&] { return fController->hasRepeatTimer(); }));
    EXPECT_TRUE(waitFor([&] { return fLog.contains("doWatchFolderInThread"); }))
        << "the watcher starts on its own thread";

    // A folder that is not there is just as empty.
    fs::remove_all(source());
    EXPECT_FALSE(pass());
    EXPECT_EQ(fEmptyPasses, 2);
}

TEST_F(ScanPassTest, GuardsEndThePassUntouched)
{
    photo("A/x.jpg");
    gDidHaltProcess = true;
    fController->getCurrentLoginInfo();
    auto request = std::make_shared<ScanRequestInfo>();
    request->localRootFolder = source();
    request->localMirrorFolder = mirror();
    ScanPass(*fController).run(Notification{cNotification_ScanFolder, nullptr, request});
    EXPECT_TRUE(fItems.empty());
    EXPECT_FALSE(gIsScanning);
    EXPECT_TRUE(waitFor([&] {
        return fPresenter.field(StatusPresenter::Field::ProcessLine) ==
            "Process Halted... Click Resume If You Wish To Continue...";
    }));
    gDidHaltProcess = false;

    ScanPass(*fController).run(Notification{cNotification_ScanFolder, nullptr, nullptr});
    EXPECT_TRUE(waitFor([&] { return fPresenter.fieldIsError(StatusPresenter::Field::ProcessLine); }));

    gStartedUploadProcess = true;
    ScanPass(*fController).run(Notification{cNotification_ScanFolder, nullptr, request});
    EXPECT_TRUE(fLog.contains("Cannot Scan Folder Yet - while an upload is still in progress"));
    EXPECT_TRUE(fItems.empty());
    EXPECT_FALSE(fs::exists(mirror() + "/A")) << "the folder was not touched";
}

TEST_F(ScanPassTest, APhotoIsSentOnlyWhenWhole)
{
    using namespace std::chrono_literals;
    const std::string whole = TestSupport::readWholeFile(photo("Stage/IMG_1.jpg"));
    fs::remove_all(source() + "/Stage");
    // Copied in halfway: the block at its start is complete, the image is not.
    createFileWithContents(source() + "/Adams/IMG_1.jpg", whole.substr(0, whole.size() / 2));
    EXPECT_FALSE(pass());
    auto entries = fController->notReadyReport().entries(10);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].path, source() + "/Adams/IMG_1.jpg");
    EXPECT_EQ(entries[0].reason, "still being written");
    // It is looked at again when it may be ready, not at the next rescan timer.
    auto wake = fController->nextScanWakeup();
    ASSERT_TRUE(wake);
    EXPECT_GT(*wake, std::chrono::steady_clock::now() + 25s);
    EXPECT_LT(*wake, std::chrono::steady_clock::now() + 31s);

    // The rest arrives: ready at once, however recently it changed.
    createFileWithContents(source() + "/Adams/IMG_1.jpg", whole);
    EXPECT_EQ(chosen(), "Adams/IMG_1.jpg");
    EXPECT_EQ(fController->notReadyReport().count(), 0u);

    // A JPEG with data after its image becomes ready once unchanged for 30 s.
    createFileWithContents(source() + "/Adams/IMG_1.jpg", whole + "trailer");
    EXPECT_FALSE(pass());
    fNow += 29s;
    EXPECT_FALSE(pass());
    fNow += 1s;
    EXPECT_EQ(chosen(), "Adams/IMG_1.jpg");

    // A PNG cut short has lost its tail block; whole, it is ready at once.
    fs::remove(source() + "/Adams/IMG_1.jpg");
    const std::string png =
        TestSupport::readWholeFile(photo("Stage/IMG_2.png", PlistValue::dictionary(), PhotoWriter::Format::Png));
    fs::remove_all(source() + "/Stage");
    createFileWithContents(source() + "/Adams/IMG_2.png", png.substr(0, png.size() - 100));
    EXPECT_FALSE(pass());
    EXPECT_EQ(fController->notReadyReport().entries(1).at(0).reason, "still being written");
    createFileWithContents(source() + "/Adams/IMG_2.png", png);
    EXPECT_EQ(chosen(), "Adams/IMG_2.png");
}

TEST_F(ScanPassTest, LinksAreNeverPhotos)
{
    photo("Outside/Smith/IMG_1.jpg");
    fs::rename(source() + "/Outside", fSandbox.file("Outside"));
    fs::create_directories(source() + "/Smith");
    fs::create_directory_symlink(fSandbox.file("Outside/Smith"), source() + "/Linked");
    fs::create_symlink(fSandbox.file("Outside/Smith/IMG_1.jpg"), source() + "/Smith/IMG_1.jpg");
    fs::create_symlink(fSandbox.file("nowhere"), source() + "/Smith/dangling.jpg");
    // Even for the logins that send any file.
    store().setString(PrefKey::UserLoginName, "dreel");
    EXPECT_FALSE(pass());
    const auto entries = fController->notReadyReport().entries(10);
    ASSERT_EQ(entries.size(), 3u);
    for (const auto& entry : entries)
        EXPECT_EQ(entry.reason, "a link, not a photo") << entry.path;
    EXPECT_FALSE(fs::exists(mirror() + "/Linked")) << "a linked folder is not entered";
    EXPECT_TRUE(fs::exists(fSandbox.file("Outside/Smith/IMG_1.jpg")));
}

TEST_F(ScanPassTest, AMuxedMovieIsLookedUpOnlyBesideItsPhoto)
{
    using namespace std::chrono_literals;
    fs::create_directories(source() + "/Smith");
    createFileWithContents(source() + "/outside.mov", "movie");
    createFileWithContents(source() + "/Smith/IMG_3_muxed.mov", "movie");
    for (const std::string name : {"../outside.mov", "/etc/hostname", ".", "..", "Sub/IMG_3_muxed.mov", ""}) {
        SCOPED_TRACE(name);
        photo("Smith/IMG_3.jpg", PlistValue::dictionary({{"ZV_muxedMovieName", PlistValue::string(name)}}));
        fNow += 10s;
        EXPECT_FALSE(pass()) << "a name that may lead elsewhere counts as a missing movie";
        const auto entries = fController->notReadyReport().entries(1);
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0].reason,
                  "waiting for its muxed movie: [" + name + "] is not a file name in the photo's folder");
    }
    photo("Smith/IMG_3.jpg", PlistValue::dictionary({{"ZV_muxedMovieName", PlistValue::string("IMG_3_muxed.mov")}}));
    EXPECT_FALSE(pass());
    EXPECT_EQ(fController->notReadyReport().entries(1).at(0).reason, "its muxed movie is still being written");
    fNow += 2s;
    EXPECT_EQ(chosen(), "Smith/IMG_3.jpg");
}

TEST_F(ScanPassTest, PhotosLeftBehindAreReportedOnceWithTheirReason)
{
    photo("Adams/IMG_1.jpg", std::nullopt);
    photo("Adams/IMG_2.jpg", std::nullopt);
    photo("root.jpg");
    store().setBool(PrefKey::UploadMovie, true);
    photo("Brown/IMG_3.jpg");
    EXPECT_FALSE(pass());
    EXPECT_EQ(fLog.count("Not ready for upload yet: [" + source() + "/Adams/IMG_1.jpg] (no embedded metadata)"), 1u);
    EXPECT_TRUE(fLog.contains("Not ready for upload yet: [" + source() + "/Brown/IMG_3.jpg] (waiting for its movie)"));
    EXPECT_TRUE(
        fLog.contains("Not ready for upload yet: [" + source() + "/root.jpg] (lies directly in the source folder)"));
    const std::string summary = "4 photos wait in the source folder: 2 no embedded metadata, 1 lies directly in the "
                                "source folder, 1 waiting for its movie";
    EXPECT_TRUE(waitFor([&] { return fPresenter.field(StatusPresenter::Field::ProcessLine) == summary; }));

    // The next pass says nothing new about them.
    EXPECT_FALSE(pass());
    EXPECT_EQ(fLog.count("Not ready for upload yet: [" + source() + "/Adams/IMG_1.jpg]"), 1u);
    EXPECT_EQ(fController->notReadyReport().count(), 4u);

    // Photos that leave the folder leave the report; an empty folder waits for new images.
    fs::remove_all(source() + "/Adams");
    fs::remove_all(source() + "/Brown");
    fs::remove(source() + "/root.jpg");
    EXPECT_FALSE(pass());
    EXPECT_EQ(fController->notReadyReport().count(), 0u);
    EXPECT_TRUE(
        waitFor([&] { return fPresenter.field(StatusPresenter::Field::ProcessLine) == "Waiting For New Images..."; }));
}

TEST(ScanPassNames, BaseIdFromFileName)
{
    EXPECT_EQ(ScanPass::getBaseIDFromFileName("/x/Smith_001.jpg"), "Smith");
    EXPECT_EQ(ScanPass::getBaseIDFromFileName("/x/Jones 7.jpg"), "Jones");
    EXPECT_EQ(ScanPass::getBaseIDFromFileName("/x/ Plain .jpg"), "Plain");
    EXPECT_EQ(ScanPass::getBaseIDFromFileName("/x.y/noext"), "noext");
    EXPECT_TRUE(ScanPass::loginMayUploadWithoutMetaData("DREEL"));
    EXPECT_FALSE(ScanPass::loginMayUploadWithoutMetaData("dreel2"));
}
